// Thumbnail reduction, icon trimming, digests, hexadecimal text and address parsing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "AppsTestFakes.h"
#include "screen/apps/ApplicationIconFile.h"
#include "screen/apps/KLTDataMD5.h"
#include "screen/apps/KLTImageAdditions.h"
#include "screen/apps/KLTNetAddress.h"

namespace kl {
namespace {

using test::solidImage;

TEST(ThumbnailReduction, LongerSideBecomesTheMaximum) {
    struct Case {
        int w, h, max, expectW, expectH;
    } cases[] = {
        {1000, 500, 256, 256, 128}, {100, 300, 256, 85, 256}, {10, 10, 256, 256, 256},  // scaled up too
        {1000, 1, 256, 256, 1},                                                         // never zero rows
    };
    for (const auto& c : cases) {
        std::string hash;
        auto out = newResizedImage(solidImage(c.w, c.h, 0x40), c.max, &hash);
        ASSERT_TRUE(out) << c.w << "x" << c.h;
        EXPECT_EQ(out->width, c.expectW) << c.w << "x" << c.h;
        EXPECT_EQ(out->height, c.expectH) << c.w << "x" << c.h;
        EXPECT_EQ(out->pixels.size(), size_t(c.expectW) * c.expectH * 4);
        EXPECT_EQ(hash, hexString(dataWithMD5OfData(out->pixels)));
        EXPECT_EQ(out->pixels[0], 0x40);
    }
    EXPECT_FALSE(newResizedImage(BitmapImage{}, 256));
    EXPECT_FALSE(newResizedImage(solidImage(4, 4, 1), 0));
}

TEST(ThumbnailReduction, AveragesWhatEachPixelCovers) {
    BitmapImage stripes = solidImage(4, 2, 0);
    for (int x = 0; x < 4; ++x)  // columns 0 and 2 white, 1 and 3 black
        for (int y = 0; y < 2; ++y)
            for (int c = 0; c < 4; ++c) stripes.pixels[(y * 4 + x) * 4 + c] = (x % 2) ? 0 : 200;
    auto out = newResizedImage(stripes, 2);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width, 2);
    EXPECT_EQ(out->height, 1);
    EXPECT_EQ(out->pixels[0], 100);
    EXPECT_EQ(out->pixels[4], 100);
}

TEST(IconTrimming, KeepsRepresentationsBetween64And128AndSendsTheLargest) {
    std::vector<BitmapImage> reps = {solidImage(32, 32, 1), solidImage(64, 64, 2), solidImage(128, 128, 3),
                                     solidImage(129, 128, 4), solidImage(256, 256, 5)};
    auto trimmed = reps;
    removeRepresentationsLargerThanSize(trimmed, 128, 128, 64, 64);
    ASSERT_EQ(trimmed.size(), 2u);  // both bounds strict: the exact sizes stay
    EXPECT_EQ(trimmed[0].width, 64);
    EXPECT_EQ(trimmed[1].width, 128);

    auto picture = iconPictureFromRepresentations(reps);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 128);
    EXPECT_EQ(picture->pixels[0], 3);

    auto onlyLarge = iconPictureFromRepresentations({solidImage(512, 256, 7)});  // brought into range
    ASSERT_TRUE(onlyLarge);
    EXPECT_EQ(onlyLarge->width, 128);
    EXPECT_EQ(onlyLarge->height, 64);
    auto onlySmall = iconPictureFromRepresentations({solidImage(16, 16, 7)});
    ASSERT_TRUE(onlySmall);
    EXPECT_EQ(onlySmall->width, 16);
    EXPECT_FALSE(iconPictureFromRepresentations({BitmapImage{}}));
}

TEST(ApplicationIconFile, TiffHashCoversTheTiffAndMissingIconsGetTheGenericOne) {
    auto icon = makeApplicationIcon({solidImage(64, 64, 9)});
    ASSERT_TRUE(icon);
    EXPECT_FALSE(icon->generic);
    ASSERT_GT(icon->tiff.size(), 8u);
    EXPECT_TRUE((icon->tiff[0] == 'I' && icon->tiff[1] == 'I') || (icon->tiff[0] == 'M' && icon->tiff[1] == 'M'));
    EXPECT_EQ(icon->tiffHash, dataWithMD5OfData(icon->tiff));

    auto generic = makeApplicationIcon({});
    ASSERT_TRUE(generic);
    EXPECT_TRUE(generic->generic);
    EXPECT_FALSE(generic->tiff.empty());
    EXPECT_EQ(generic->tiffHash, dataWithMD5OfData(generic->tiff));
    EXPECT_NE(generic->tiffHash, icon->tiffHash);
}

TEST(Digest, Md5AndHexText) {
    EXPECT_EQ(hexString(dataWithMD5OfData({})), "d41d8cd98f00b204e9800998ecf8427e");
    const std::string abc = "abc";
    EXPECT_EQ(hexString(dataWithMD5OfData({reinterpret_cast<const uint8_t*>(abc.data()), abc.size()})),
              "900150983cd24fb0d6963f7d28e17f72");
    const Bytes bytes = {0x00, 0xAB, 0x10};
    EXPECT_EQ(hexString(bytes), "00ab10");

    struct Case {
        const char* text;
        Bytes expected;
    } cases[] = {
        {"00ab10", bytes}, {"00AB10", bytes}, {"0g", {0x00}}, {"abc", {0xab}}, {"a", {}}, {"", {}}, {"zz41", {0x00, 0x41}},
    };
    for (const auto& c : cases) EXPECT_EQ(dataWithHexString(c.text), c.expected) << c.text;
}

TEST(Digest, StringWithDataNeedsTwoBytes) {
    const Bytes one = {'a'}, two = {'o', 'k'};
    EXPECT_FALSE(stringWithData(one));
    EXPECT_FALSE(stringWithData({}));
    EXPECT_EQ(stringWithData(two), "ok");
}

TEST(NetAddress, NumericIPv4Only) {
    auto address = KLTNetAddress::addressFromTokenString("127.0.0.1");
    ASSERT_TRUE(address);
    auto* v4 = reinterpret_cast<const sockaddr_in*>(&address->address);
    EXPECT_EQ(v4->sin_family, AF_INET);
    EXPECT_EQ(ntohs(v4->sin_port), 6001);
    EXPECT_EQ(ntohl(v4->sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(address->port, 0);
    EXPECT_EQ(address->netmask.ss_family, 0);
    EXPECT_EQ(KLTNetAddress::tokenStringFromAddress(&*address), "127.0.0.1");

    for (const char* refused : {"::1", "localhost", "", "127.0.0", "1.2.3.4.5"})
        EXPECT_FALSE(KLTNetAddress::addressFromTokenString(refused)) << refused;
    EXPECT_FALSE(KLTNetAddress::tokenStringFromAddress(nullptr));
    KLTNetAddress other;
    other.address.ss_family = AF_UNIX;
    EXPECT_FALSE(KLTNetAddress::tokenStringFromAddress(&other));
    KLTNetAddress v6;
    auto* six = reinterpret_cast<sockaddr_in6*>(&v6.address);
    six->sin6_family = AF_INET6;
    six->sin6_addr = in6addr_loopback;
    EXPECT_EQ(KLTNetAddress::tokenStringFromAddress(&v6), "::1");
}

}  // namespace
}  // namespace kl

// The viewer stand-in fed what the service's writers and encoders produce: every kind of
// rectangle lands in its framebuffer where the record says, and the rest of an update (cursor,
// application section) is taken apart in step.
#include <gtest/gtest.h>
#include <zlib.h>

#include "TestPictures.h"
#include "ViewerUpdateStream.h"
#include "WireTestBytes.h"
#include "platform/image/ImageFiles.h"
#include "platform/image/JpegCompressor.h"
#include "screen/protocol/ApplicationMessages.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {
namespace {

using test::gradientPicture;
using test::psnr;
using test::TestPicture;

PixelView viewOf(const TestPicture& picture, PixelFormat format = PixelFormat::BGRX) {
    return PixelView::packed(picture.pixels.data(), picture.width, picture.height, format);
}

// The rectangle writer of a zlib tile: rows through one deflate stream for the connection, the
// last row sync-flushed so that the record ends on a byte the viewer can inflate up to.
class ZlibRects {
public:
    ZlibRects() { deflateInit2(&mStream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY); }
    ~ZlibRects() { deflateEnd(&mStream); }

    void write(Bytes& out, uint16_t x, uint16_t y, const TestPicture& picture) {
        Bytes compressed(picture.pixels.size() + 1024);
        mStream.next_out = compressed.data();
        mStream.avail_out = uInt(compressed.size());
        const size_t row = size_t(picture.width) * 4;
        for (int r = 0; r < picture.height; ++r) {
            mStream.next_in = const_cast<Bytef*>(&picture.pixels[r * row]);
            mStream.avail_in = uInt(row);
            deflate(&mStream, r + 1 == picture.height ? Z_SYNC_FLUSH : Z_NO_FLUSH);
        }
        compressed.erase(compressed.end() - std::ptrdiff_t(mStream.avail_out), compressed.end());
        writeRectRecord(out, {x, y, uint16_t(picture.width), uint16_t(picture.height), kEncodingZlib, 0}, compressed);
    }

private:
    z_stream mStream{};
};

// A squeezed tile: the viewer gets a half-size picture and stretches it over the record.
TestPicture stretched(const TestPicture& small, int w, int h) {
    TestPicture out{w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            std::copy_n(&small.pixels[(size_t(y * small.height / h) * small.width + x * small.width / w) * 4], 4,
                        &out.pixels[(size_t(y) * w + x) * 4]);
    return out;
}

struct Desktop {
    TestPicture jpeg = gradientPicture(48, 32, 1);
    TestPicture png = gradientPicture(48, 32, 2);
    TestPicture zlibTop = gradientPicture(48, 16, 3);
    TestPicture zlibBottom = gradientPicture(48, 16, 4);
    TestPicture squeezedSmall = gradientPicture(24, 16, 5);
    TestPicture cursor = gradientPicture(8, 8, 6);
};

// hello, resolution, one display's update of every rectangle kind and the cursor, then an
// application section.
Bytes updateStream(const Desktop& d) {
    JpegCompressor jpeg;
    ZlibRects zlib;
    Bytes out = writeServerHello();
    const Bytes resolution = writeResolutionChange(96, 64);
    out.insert(out.end(), resolution.begin(), resolution.end());

    writeScreenUpdateHeader(out, kScreenUpdateWithAppInfoMsg, 7);
    auto cold = jpeg.compress(viewOf(d.jpeg), 0.9885714650154114);
    writeRectRecord(out, {0, 0, 48, 32, kEncodingJPEG, 0}, *cold);
    writeRectRecord(out, {48, 0, 48, 32, kEncodingPNG, 0}, *encodePNG(viewOf(d.png)));
    zlib.write(out, 0, 32, d.zlibTop);
    zlib.write(out, 0, 48, d.zlibBottom);
    auto squeezed = jpeg.compress(viewOf(d.squeezedSmall), 0.3);
    writeRectRecord(out, {48, 32, 48, 32, kEncodingSqueezedJPEG, 0}, *squeezed);
    writeCursorPositionRect(out, 10, 20, true);
    writeCursorImageRect(out, 3, 4, 8, 8, *encodePNG(viewOf(d.cursor, PixelFormat::BGRA)));

    const Bytes open = writeAppInfoSection(false);
    out.insert(out.end(), open.begin(), open.end());
    AppInfo app;
    app.applicationID = 42;
    app.name = "Editor";
    app.icon = *encodeTIFF(viewOf(d.cursor));
    const AppInfo apps[] = {app, app};
    const WindowStateRecord window{42, 7, 0, 0, 48, 32, 1, 0};
    const Bytes thumbPng = *encodePNG(viewOf(d.png));
    SerializedMenuItem menu;
    menu.title = "File";
    const SerializedMenuItem menus[] = {menu, menu, menu};
    const WindowStateRecord windows[] = {window};
    for (const Bytes& part : {writeNewApplicationInfo(apps), writeWindowStateSnapshot(windows),
                              writeApplicationThumbHeader(window, uint32_t(thumbPng.size())), thumbPng,
                              writeMenusMessage(menus), writeAppInfoSection(true), writeEmptyScreenUpdate()}) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(ViewerUpdateStream, RebuildsTheFramebufferFromEveryRectangleKind) {
    const Desktop d;
    const Bytes stream = updateStream(d);
    viewer::ViewerUpdateStream whole, piecewise;
    whole.framebuffer().resize(96, 64);
    piecewise.framebuffer().resize(96, 64);
    whole.feed(stream);
    // Bytes arriving a few at a time make the same picture.
    for (size_t i = 0; i < stream.size(); i += 7) {
        piecewise.feed(std::span(stream).subspan(i, std::min<size_t>(7, stream.size() - i)));
    }
    for (viewer::ViewerUpdateStream* v : {&whole, &piecewise}) {
        ASSERT_FALSE(v->failed()) << v->failure();
        EXPECT_EQ(v->pendingBytes(), 0u);
    }
    EXPECT_EQ(piecewise.framebuffer().picture().pixels, whole.framebuffer().picture().pixels);

    const auto& fb = whole.framebuffer().picture().pixels;
    EXPECT_GT(psnr(fb, 96, 0, 0, d.jpeg), 38);
    EXPECT_EQ(psnr(fb, 96, 48, 0, d.png), INFINITY);
    EXPECT_EQ(psnr(fb, 96, 0, 32, d.zlibTop), INFINITY);
    EXPECT_EQ(psnr(fb, 96, 0, 48, d.zlibBottom), INFINITY);
    EXPECT_GT(psnr(fb, 96, 48, 32, stretched(d.squeezedSmall, 48, 32)), 25);

    ASSERT_EQ(whole.records.size(), 7u);
    EXPECT_EQ(whole.records[4].encoding, kEncodingSqueezedJPEG);
    EXPECT_EQ(whole.records[4].pictureWidth, 24);
    EXPECT_EQ(whole.records[4].w, 48);
    EXPECT_TRUE(whole.helloReceived);
    EXPECT_EQ(whole.resolutionWidth, 96);
    EXPECT_EQ(whole.resolutionHeight, 64);
    EXPECT_EQ(whole.lastDesignation, kScreenUpdateMsg);
    EXPECT_EQ(whole.updatesCompleted, 2);
    EXPECT_EQ(whole.cursorX, 10);
    EXPECT_EQ(whole.cursorY, 20);
    EXPECT_TRUE(whole.cursorVisible);
    EXPECT_EQ(whole.cursorHotX, 3);
    ASSERT_TRUE(whole.cursorImage);
    EXPECT_EQ(whole.cursorImage->pixels, d.cursor.pixels);  // alpha and all
    EXPECT_EQ(whole.sectionsOpened, 1);
    EXPECT_EQ(whole.sectionsClosed, 1);
    ASSERT_EQ(whole.applications.size(), 2u);
    EXPECT_EQ(whole.applications[1].name, u"Editor");
    EXPECT_FALSE(whole.applications[1].icon.empty());
    EXPECT_EQ(whole.windowCount, 1u);
    EXPECT_EQ(whole.thumbnails, 1);
    EXPECT_EQ(whole.menuCount, 3u);
}

TEST(ViewerUpdateStream, MovesAndPlaceholders) {
    const TestPicture tile = gradientPicture(16, 16);
    Bytes out;
    writeScreenUpdateHeader(out, kScreenUpdateMsg, 4);
    writeRectRecord(out, {0, 0, 16, 16, kEncodingPNG, 0}, *encodePNG(viewOf(tile)));
    writeCopyRect(out, 0, 0, 16, 16, 20, 4);
    writeCopyRect(out, 30000, 30000, 0xFFFF, 0xFFFF, -30000, -30000);  // nothing there to move
    writePlaceholderRect(out);
    viewer::ViewerUpdateStream v;
    v.framebuffer().resize(40, 24);
    v.feed(out);
    ASSERT_FALSE(v.failed()) << v.failure();
    EXPECT_EQ(psnr(v.framebuffer().picture().pixels, 40, 20, 4, tile), INFINITY);
    EXPECT_EQ(v.updatesCompleted, 1);
    EXPECT_FALSE(v.cursorVisible);
}

TEST(ViewerUpdateStream, StopsOnAMalformedStream) {
    Bytes badTile;
    writeScreenUpdateHeader(badTile, kScreenUpdateMsg, 1);
    writeRectRecord(badTile, {0, 0, 8, 8, kEncodingJPEG, 0}, test::hexBytes("ff d8 00 01 02"));
    Bytes wrongSize;
    writeScreenUpdateHeader(wrongSize, kScreenUpdateMsg, 1);
    const TestPicture tile = gradientPicture(8, 8);
    writeRectRecord(wrongSize, {0, 0, 9, 8, kEncodingPNG, 0}, *encodePNG(viewOf(tile)));
    Bytes shortZlib;
    writeScreenUpdateHeader(shortZlib, kScreenUpdateMsg, 1);
    writeRectRecord(shortZlib, {0, 0, 8, 8, kEncodingZlib, 0}, test::hexBytes("78 9c 62 00 00 00 00 ff ff"));
    const struct {
        const char* name;
        Bytes stream;
    } cases[] = {
        {"unknown type", test::hexBytes("99")},
        {"undecodable tile", badTile},
        {"tile of another size", wrongSize},
        {"zlib short of its pixels", shortZlib},
        {"huge menus message", test::hexBytes("26 01 00 00 00 ff ff ff ff")},
        {"unknown encoding", test::hexBytes("20 01 00  00 00 00 00 00 00 00 00 07 00 00 00 00")},
    };
    for (const auto& c : cases) {
        viewer::ViewerUpdateStream v;
        v.framebuffer().resize(8, 8);
        v.feed(c.stream);
        EXPECT_TRUE(v.failed()) << c.name;
        v.feed(writeEmptyScreenUpdate());  // nothing more is read
        EXPECT_EQ(v.updatesCompleted, 0) << c.name;
    }
}

}  // namespace
}  // namespace kl

#include <gtest/gtest.h>
#include <udt/udt.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "TunnelTestSupport.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexBase32.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/channel/TunnexDummyEncryptor.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {
namespace {

TEST(ChannelHash, SkipsZeroWithoutRepeatingAValue) {
    struct Case {
        uint32_t start;
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {0, {1, 2, 3}},
        {4294967295u, {4294967295u, 1, 2}},
        {4294967294u, {4294967294u, 4294967295u, 1}},
        {48879, {48879, 48880}},
    };
    for (const Case& c : cases) {
        TunnexChannelHashSource source(c.start);
        for (uint32_t want : c.expected) EXPECT_EQ(source.next(), want) << "start " << c.start;
    }
}

TEST(ChannelHash, ConcurrentCallersAcrossTheWrapGetDistinctNonZeroHashes) {
    TunnexChannelHashSource source(0xFFFFFFFFu - 5000);
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::vector<chanHash>> drawn(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) drawn[t].push_back(source.next());
            });
    }
    std::set<chanHash> all;
    for (const auto& hashes : drawn) all.insert(hashes.begin(), hashes.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
    EXPECT_EQ(all.count(0), 0u);
}

TEST(ChannelHash, ProcessSourceIsSeededOnceAndLogged) {
    chanHash first = NextChannelHash();
    chanHash second = NextChannelHash();
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_TRUE(memoryLogContains("Setting channel hash source to: "));
}

TEST(ChannelHash, TextIsLowerCaseHexWithoutLeadingZeros) {
    const std::pair<chanHash, const char*> cases[] = {
        {48879, "beef"}, {1, "1"}, {43981, "abcd"}, {0x00ABCDEF, "abcdef"}, {0xFFFFFFFF, "ffffffff"}, {0, "0"}};
    for (const auto& [hash, text] : cases) EXPECT_EQ(StringForChannelHash(hash), text);
}

TEST(AddressText, DottedQuadAndPortInHostOrder) {
    struct Case {
        const char* address;
        uint16_t port;
        const char* expected;
    };
    const Case cases[] = {
        {"10.0.0.1", 9300, "10.0.0.1:9300"},
        {"192.168.1.5", 9300, "192.168.1.5:9300"},
        {"0.0.0.0", 0, "0.0.0.0:0"},
        {"255.255.255.255", 65535, "255.255.255.255:65535"},
    };
    for (const Case& c : cases) {
        sockaddr_storage storage = test::ipv4Address(c.address, c.port);
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&storage);
        EXPECT_EQ(AddressString(ipv4), std::optional<std::string>(c.address));
        EXPECT_EQ(AddressPortString(ipv4), std::optional<std::string>(c.expected));
    }
    EXPECT_EQ(AddressString(nullptr), std::nullopt);
    EXPECT_EQ(AddressPortString(nullptr), std::nullopt);
}

TEST(DisplayableUUID, CutsLongTextsAfterSevenCharacters) {
    const std::pair<const char*, const char*> cases[] = {
        {"12345678-ABCD", "1234567 ..."},
        {"12345678", "1234567 ..."},
        {"1234567", "1234567"},
        {"", ""},
        {"6F9619FF-8B86-D011-B42D-00C04FC964FF", "6F9619F ..."},
    };
    for (const auto& [uuid, expected] : cases) EXPECT_EQ(TunnexDisplayableUUID(uuid), expected) << uuid;
}

TEST(Base32, EncodesWithTheTokenAlphabetAndNoPadding) {
    const std::pair<Bytes, const char*> cases[] = {
        {{}, ""},
        {{'a', 'b', 'c'}, "NFTGG"},
        {{0x00}, "AA"},
        {{0xFF}, "96"},
        {{0, 0, 0, 0, 0}, "AAAAAAAA"},
        {{0, 0, 0, 0, 0, 0}, "AAAAAAAAAA"},
        {{0x41, 0x00, 0x42}, "IEAEE"},
    };
    for (const auto& [data, text] : cases) EXPECT_EQ(stringToBase32WithData(data), text);
}

TEST(Base32, EveryFiveBitValueSelectsItsAlphabetCharacter) {
    // 20 bytes holding the 5-bit values 0, 1, ..., 31 one after the other.
    Bytes data(20, 0);
    for (unsigned value = 0; value < 32; ++value)
        for (unsigned bit = 0; bit < 5; ++bit)
            if (value & (0x10u >> bit)) {
                unsigned position = value * 5 + bit;
                data[position / 8] |= uint8_t(0x80u >> (position % 8));
            }
    EXPECT_EQ(stringToBase32WithData(data), "ABCDEFGHIJKMNPQRSTUVWXYZ23456789");
    EXPECT_EQ(fromBase32("ABCDEFGHIJKMNPQRSTUVWXYZ23456789"), data);
}

TEST(Base32, DecodingIgnoresCaseAndEveryCharacterOutsideTheAlphabet) {
    const Bytes abc = {'a', 'b', 'c'};
    for (const char* text : {"NFTGG", "nftgg", "NF-TG G", " n\tF\r\nt-g:G ", "NFTLOGG", "NFT0G1G"})
        EXPECT_EQ(fromBase32(text), abc) << text;
    for (const char* text : {"", "!!!", "-- --", "N"}) EXPECT_TRUE(fromBase32(text).empty()) << text;
}

TEST(Base32, RoundTripsAnyBytes) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 64; ++length) {
        Bytes data(length);
        for (auto& b : data) b = uint8_t(random());
        std::string text = stringToBase32WithData(data);
        EXPECT_EQ(text.size(), (8 * length + 4) / 5);
        EXPECT_EQ(fromBase32(text), data) << "length " << length;
    }
}

TEST(Base32, DecodesToTextUpToTheFirstZeroByte) {
    EXPECT_EQ(fromBase32AsString("IEAEE"), std::optional<std::string>("A"));
    EXPECT_EQ(fromBase32AsString(""), std::optional<std::string>(""));
    const std::string accented = "h\xC3\xA9llo";
    EXPECT_EQ(fromBase32AsString(stringToBase32WithData(Bytes(accented.begin(), accented.end()))), accented);
    for (const Bytes& invalid : {Bytes{0xFF, 0xFE}, Bytes{'a', 0xC3}, Bytes{0xC0, 0x80}, Bytes{0xED, 0xA0, 0x80}})
        EXPECT_EQ(fromBase32AsString(stringToBase32WithData(invalid)), std::nullopt);
    // Invalid bytes behind the terminator are never looked at.
    EXPECT_EQ(fromBase32AsString(stringToBase32WithData({'o', 'k', 0, 0xFF})), std::optional<std::string>("ok"));
}

TEST(UDTError, CarriesDomainCodeAndMessage) {
    const std::pair<CUDTException, int> cases[] = {
        {CUDTException(2, 1, 0), 2001}, {CUDTException(6, 3, 0), 6003}, {CUDTException(1, 0, 0), 1000}};
    for (const auto& [exception, code] : cases) {
        CUDTException copy(exception);
        Error error = errorFromUDTErrorInfo(exception);
        EXPECT_EQ(error.domain(), "com.kelvaro.tunnex.UDTErrorDomain");
        EXPECT_EQ(error.code(), code);
        const Value* description = error.userInfo().find("com.kelvaro.errorFramework.errorDescriptionKey");
        ASSERT_NE(description, nullptr);
        ASSERT_NE(description->asString(), nullptr);
        EXPECT_EQ(*description->asString(), copy.getErrorMessage());
        EXPECT_FALSE(description->asString()->empty());
        EXPECT_EQ(error.userInfo().size(), 1u);
    }
    EXPECT_EQ(errorFromUDTErrorInfo(CUDTException(2, 1, 0)).code(), kUDTErrorConnectionLost);
}

TEST(TunnexResult, EdgeErrorKeepsUDTDomainAndCodeAndNamesTunnelCodesInItsOwnDomain) {
    struct Case {
        TunnexError error;
        std::string domain;
        int64_t code;
    };
    const Case cases[] = {
        {TunnexError::fromUDT(CUDTException(2, 1, 0)), "com.kelvaro.tunnex.UDTErrorDomain", 2001},
        {TunnexError::udt(5003, "bad parameter"), "com.kelvaro.tunnex.UDTErrorDomain", 5003},
        {TunnexError(TunnexErrorCode::NotConnected, "no main channel"), tunnexErrorDomain,
         int64_t(TunnexErrorCode::NotConnected)},
        {TunnexError::system("setsockopt", EBADF), tunnexErrorDomain, int64_t(TunnexErrorCode::System)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.description());
        const Error edge = c.error.toError();
        EXPECT_EQ(edge.domain(), c.domain);
        EXPECT_EQ(edge.code(), c.code);
        EXPECT_EQ(edge.description(), c.error.description());
        EXPECT_EQ(edge.userInfo().size(), 1u);
        // An error that came back through the socket interface is the same failure again.
        const TunnexError back = TunnexError::fromError(edge);
        EXPECT_EQ(back.code(), c.error.code());
        EXPECT_EQ(back.udtCode(), c.error.udtCode());
        EXPECT_EQ(back.description(), c.error.description());
    }
    EXPECT_EQ(TunnexError::fromUDT(CUDTException(2, 1, 0)).toError(), errorFromUDTErrorInfo(CUDTException(2, 1, 0)));
    EXPECT_NE(TunnexError::system("setsockopt", EBADF).description().find("setsockopt: "), std::string::npos);
}

TEST(TunnexResult, EdgeResultAndOutParameterCarryTheSameOutcome) {
    Result<int> value = TunnexResult<int>(7);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 7);
    Result<int> failed = TunnexResult<int>(TunnexError::udt(2001, "Connection was broken."));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), Error::withDescription(tunnexUDTErrorDomain, 2001, "Connection was broken."));

    Error out;
    TunnexError::udt(6003, "timed out").reportTo(&out);
    EXPECT_EQ(out.code(), 6003);
    TunnexError::udt(6003, "timed out").reportTo(nullptr);  // a caller may pass no out-parameter

    EXPECT_TRUE(TunnexResult<void>());
    const TunnexResult<void> refused = TunnexError(TunnexErrorCode::ShortSend, "short");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), TunnexErrorCode::ShortSend);
}

TEST(DummyEncryptor, PassesBytesThroughAndLeavesTheCipherAlone) {
    TunnexDummyEncryptor dummy;
    TunnexStreamCipher cipher;
    const Bytes data = {1, 2, 3, 0, 255};
    EXPECT_EQ(dummy.encryptSomeBytes(data, cipher), data);
    EXPECT_EQ(dummy.decryptSomeBytes(data, cipher), data);
    EXPECT_EQ(dummy.encryptSomeBytes({}, cipher), Bytes{});
    EXPECT_EQ(cipher, nullptr);
    EXPECT_EQ(dummy.encryptedBlockSize(), std::optional<uint64_t>(1));
    dummy.closedSocket(nullptr);
}

}  // namespace
}  // namespace kl

#include <gtest/gtest.h>

#include <string>

#include "TunnelTestSupport.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"

namespace kl {
namespace {

using Type = TunnexMainChannelMessageType;
using Refusal = TunnexMainChannelRefusal;
using test::bytesFromHex;

Bytes forwardRequest(Type type, const std::string& host, uint16_t port, uint32_t hash) {
    auto bytes = encodeTunnexForwardRequest(type, {host, port, hash});
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(Bytes{});
}

TEST(MainChannelCodec, HeaderIsMarkFixedBytesAndType) {
    EXPECT_EQ(tunnexMainChannelHeader(Type::Goodbye), bytesFromHex("02a401010009"));
    EXPECT_EQ(tunnexMainChannelHeader(Type::LifeCheckMsg), bytesFromHex("02a40101000c"));
}

TEST(MainChannelCodec, ForwardRequestPutsEachFieldAtItsOffset) {
    Bytes bytes = forwardRequest(Type::AddForwardMsg, "localhost", 7001, 0x11223344);
    ASSERT_EQ(bytes.size(), 268u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 6), bytesFromHex("02a401010000"));
    EXPECT_EQ(std::string(bytes.begin() + 6, bytes.begin() + 15), "localhost");
    EXPECT_EQ(bytes[15], 0);
    EXPECT_EQ(Bytes(bytes.begin() + 262, bytes.end()), bytesFromHex("591b44332211"));  // port in host order, LE

    auto decoded = decodeTunnexMainChannelMessage(bytes);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.message.type, Type::AddForwardMsg);
    const auto& request = std::get<TunnexForwardRequest>(decoded.message.body);
    EXPECT_EQ(request.host, "localhost");
    EXPECT_EQ(request.port, 7001);
    EXPECT_EQ(request.chanHash, 0x11223344u);
}

TEST(MainChannelCodec, HostFieldIsBoundedBothWays) {
    // 255 bytes and the terminator fill the field exactly.
    const std::string longest(255, 'h');
    auto decoded = decodeTunnexMainChannelMessage(forwardRequest(Type::TunnexLocalUDPForward, longest, 1, 2));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(std::get<TunnexForwardRequest>(decoded.message.body).host, longest);

    EXPECT_FALSE(encodeTunnexForwardRequest(Type::AddForwardMsg, {std::string(256, 'h'), 1, 2}));
    EXPECT_FALSE(encodeTunnexForwardRequest(Type::AddForwardMsg, {std::string("ab\0cd", 5), 1, 2}));
    EXPECT_FALSE(encodeTunnexForwardRequest(Type::Goodbye, {"host", 1, 2}));
    EXPECT_FALSE(encodeTunnexForwardResult({0, std::string(300, 'x'), 1, 0, true}));

    // A received host field with no terminator in its 256 bytes is refused, not read past.
    Bytes unterminated = forwardRequest(Type::AddForwardMsg, "x", 1, 2);
    std::fill(unterminated.begin() + 6, unterminated.begin() + 262, 'a');
    EXPECT_EQ(decodeTunnexMainChannelMessage(unterminated).refusal, Refusal::BadHost);
}

TEST(MainChannelCodec, EveryTypeRoundTrips) {
    // A refused message gives an empty body, so the caller's std::get fails the test too.
    auto check = [](const Bytes& bytes, Type type, size_t length) {
        SCOPED_TRACE(tunnexMainChannelTypeName(uint8_t(type)));
        EXPECT_EQ(bytes.size(), length);
        auto decoded = decodeTunnexMainChannelMessage(bytes);
        EXPECT_TRUE(decoded.ok()) << tunnexMainChannelRefusalText(decoded.refusal);
        EXPECT_EQ(decoded.message.type, type);
        return decoded.message;
    };
    auto udp = std::get<TunnexRemoteUDPForwardRequest>(
        check(encodeTunnexRemoteUDPForward({5353, 0xdeadbeef}), Type::AddRemoteUDPForwardMsg, 12).body);
    EXPECT_EQ(udp.port, 5353);
    EXPECT_EQ(udp.chanHash, 0xdeadbeefu);

    const Bytes payload = {1, 2, 3};
    auto datagram = std::get<TunnexForwardDatagram>(
        check(encodeTunnexForwardDatagram(7, payload), Type::ForwardDatagramMsg, 13).body);
    EXPECT_EQ(datagram.chanHash, 7u);
    EXPECT_EQ(datagram.payload, payload);
    EXPECT_EQ(tunnexForwardDatagramMessage(7, payload), encodeTunnexForwardDatagram(7, payload));

    const Bytes publicValue(128, 0x5a), wrapped(48, 0xa5);
    EXPECT_EQ(std::get<TunnexKeyMaterial>(
                  check(encodeTunnexKeyMessage(Type::DHPublicKeyMsg, publicValue), Type::DHPublicKeyMsg, 134).body)
                  .bytes,
              publicValue);
    EXPECT_EQ(std::get<TunnexKeyMaterial>(
                  check(encodeTunnexKeyMessage(Type::DHEncryptedCEKMsg, wrapped), Type::DHEncryptedCEKMsg, 54).body)
                  .bytes,
              wrapped);

    for (Type bare : {Type::DHPublicKeyAck, Type::WillEncryptMsg, Type::WontEncryptMsg, Type::Goodbye, Type::LifeCheckMsg}) {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(check(tunnexMainChannelHeader(bare), bare, 6).body));
    }
    auto close = std::get<TunnexSocketClose>(check(encodeTunnexSocketClose(0xabc), Type::TunnexSocketCloseMsg, 10).body);
    EXPECT_EQ(close.chanHash, 0xabcu);
}

TEST(MainChannelCodec, ForwardResultsCarryOnlyTheFieldsOfTheirKind) {
    struct Case {
        uint8_t kind;
        std::string host;
        uint16_t port;
        uint32_t hash;
        bool success;
        ForwardSuccessResult expected;
    };
    const Case cases[] = {
        {0, "localhost", 548, 99, true, {0, "localhost", 548, 0, true}},
        {1, "127.0.0.1", 53, 0x1234, false, {1, "127.0.0.1", 53, 0x1234, false}},
        {2, "ignored", 77, 0x4321, true, {2, "", 0, 0x4321, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kind));
        auto bytes = encodeTunnexForwardResult({c.kind, c.host, c.port, c.hash, c.success});
        ASSERT_TRUE(bytes);
        ASSERT_EQ(bytes->size(), 270u);
        EXPECT_EQ((*bytes)[6], c.kind);
        EXPECT_EQ((*bytes)[269], c.success ? 1 : 0);
        auto decoded = decodeTunnexMainChannelMessage(*bytes);
        ASSERT_TRUE(decoded.ok());
        const auto& result = std::get<ForwardSuccessResult>(decoded.message.body);
        EXPECT_EQ(result.forwardKind, c.expected.forwardKind);
        EXPECT_EQ(result.host, c.expected.host);
        EXPECT_EQ(result.port, c.expected.port);
        EXPECT_EQ(result.chanHash, c.expected.chanHash);
        EXPECT_EQ(result.success, c.expected.success);
    }
    // A kind or success flag outside its values is refused.
    Bytes bytes = *encodeTunnexForwardResult({0, "h", 1, 0, true});
    bytes[6] = 3;
    EXPECT_EQ(decodeTunnexMainChannelMessage(bytes).refusal, Refusal::BadValue);
    bytes[6] = 0;
    bytes[269] = 2;
    EXPECT_EQ(decodeTunnexMainChannelMessage(bytes).refusal, Refusal::BadValue);
}

TEST(MainChannelCodec, EveryTruncationOfEveryTypeIsRefused) {
    const Bytes full[] = {
        forwardRequest(Type::AddForwardMsg, "h", 1, 2),
        forwardRequest(Type::TunnexLocalUDPForward, "h", 1, 2),
        encodeTunnexRemoteUDPForward({1, 2}),
        encodeTunnexForwardDatagram(1, {}),
        encodeTunnexKeyMessage(Type::DHPublicKeyMsg, Bytes(128, 1)),
        tunnexMainChannelHeader(Type::DHPublicKeyAck),
        encodeTunnexKeyMessage(Type::DHEncryptedCEKMsg, Bytes(48, 1)),
        tunnexMainChannelHeader(Type::WillEncryptMsg),
        tunnexMainChannelHeader(Type::WontEncryptMsg),
        tunnexMainChannelHeader(Type::Goodbye),
        *encodeTunnexForwardResult({1, "h", 1, 2, true}),
        encodeTunnexSocketClose(1),
        tunnexMainChannelHeader(Type::LifeCheckMsg),
    };
    for (uint8_t type = 0; type <= kTunnexMainChannelLastType; ++type) {
        const Bytes& message = full[type];
        ASSERT_EQ(message[5], type);
        EXPECT_EQ(message.size(), tunnexMainChannelMinimumLength(type));
        for (size_t length = 0; length < message.size(); ++length) {
            auto decoded = decodeTunnexMainChannelMessage(std::span(message.data(), length));
            EXPECT_FALSE(decoded.ok()) << "type " << int(type) << " length " << length;
            const Refusal expected = length < 2 ? Refusal::WrongMark : length < 6 ? Refusal::NoHeader : Refusal::TooShort;
            EXPECT_EQ(decoded.refusal, expected) << "type " << int(type) << " length " << length;
        }
        EXPECT_TRUE(decodeTunnexMainChannelMessage(message).ok()) << int(type);
    }
}

TEST(MainChannelCodec, WrongMarkAndUnknownTypesAreRefused) {
    EXPECT_EQ(decodeTunnexMainChannelMessage(bytesFromHex("a40201010009")).refusal, Refusal::WrongMark);
    EXPECT_EQ(decodeTunnexMainChannelMessage(bytesFromHex("000001010009")).refusal, Refusal::WrongMark);
    for (int type : {13, 200, 255}) {
        Bytes message = tunnexMainChannelHeader(Type::Goodbye);
        message[5] = uint8_t(type);
        auto decoded = decodeTunnexMainChannelMessage(message);
        EXPECT_EQ(decoded.refusal, Refusal::UnknownType);
        EXPECT_EQ(decoded.type, type);
        EXPECT_STREQ(tunnexMainChannelTypeName(uint8_t(type)), "unknown");
    }
    // The three fixed header bytes are not checked by the reader.
    EXPECT_TRUE(decodeTunnexMainChannelMessage(bytesFromHex("02a4ffffff0c")).ok());
}

}  // namespace
}  // namespace kl

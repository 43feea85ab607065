// The tunnel peer's class utilities: version, address tokens and texts, interface names, the
// connection time-out and the description.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "TunnelTestSupport.h"
#include "tunnel/protocol/TunnexBase32.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {
namespace {

std::string dotted(const sockaddr_storage& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    return text;
}

TEST(PeerUtilities, VersionIsThreeZeroZero) {
    const uint32_t version = TunnexPeer::version();
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", version >> 16, (version >> 8) & 0xFF, version & 0xFF);
    EXPECT_STREQ(text, "3.0.0");
}

TEST(PeerUtilities, AddressTokens) {
    auto plain = TunnexPeer::addressFromTokenString("10.0.0.1");
    ASSERT_TRUE(plain);
    EXPECT_EQ(dotted(plain->address()), "10.0.0.1");
    EXPECT_EQ(plain->port(), 6001);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(&plain->address())->sin_port), 6001);

    auto token = [](Bytes bytes) { return stringToBase32WithData(bytes); };
    auto fromToken = TunnexPeer::addressFromTokenString(token({0x2A, 0x0A, 0x00, 0x00, 0x01, 0x21}));
    ASSERT_TRUE(fromToken);
    EXPECT_EQ(dotted(fromToken->address()), "10.0.0.1");
    EXPECT_EQ(fromToken->port(), 6001);

    Bytes ipv6 = {0x2A, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    uint8_t check = 0;
    for (uint8_t b : ipv6) check ^= b;
    ipv6.push_back(check);
    auto six = TunnexPeer::addressFromTokenString(token(ipv6));
    ASSERT_TRUE(six);
    EXPECT_EQ(six->address().ss_family, AF_INET6);
    EXPECT_FALSE(TunnexPeer::tokenStringFromAddress(&*six));

    // Refused: wrong check byte, wrong first byte, wrong length, nothing decodable.
    EXPECT_FALSE(TunnexPeer::addressFromTokenString(token({0x2A, 0x0A, 0x00, 0x00, 0x01, 0x22})));
    EXPECT_FALSE(TunnexPeer::addressFromTokenString(token({0x2B, 0x0A, 0x00, 0x00, 0x01, 0x20})));
    EXPECT_FALSE(TunnexPeer::addressFromTokenString(token({0x2A, 0x0A, 0x00, 0x00, 0x20})));
    EXPECT_FALSE(TunnexPeer::addressFromTokenString(""));
    EXPECT_FALSE(TunnexPeer::addressFromTokenString("!!!"));

    EXPECT_EQ(TunnexPeer::tokenStringFromAddress(&*plain).value_or(""), "10.0.0.1");
    EXPECT_FALSE(TunnexPeer::tokenStringFromAddress(nullptr));
}

TEST(PeerUtilities, AddressPortTexts) {
    sockaddr_in address = TunnexPeer::sockaddrFromAddrPortString("192.0.2.7:4500");
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohs(address.sin_port), 4500);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, "192.0.2.7");
    address = TunnexPeer::sockaddrFromAddrPortString("nonsense:12x");
    EXPECT_EQ(address.sin_addr.s_addr, 0u);
    EXPECT_EQ(ntohs(address.sin_port), 12);
}

TEST(PeerUtilities, InterfaceNamesOfThePings) {
    for (const char* name : {"en0", "eth0", "enp3s0", "wlan0", "wlp2s0"}) EXPECT_TRUE(TunnexPeer::isTunnexInterfaceName(name)) << name;
    for (const char* name : {"lo", "docker0", "veth12", "tun0", "br-1"}) EXPECT_FALSE(TunnexPeer::isTunnexInterfaceName(name)) << name;
    for (const TunnexAddress& address : TunnexPeer::newArrayOfInterfaceAddressesOfFamily(AF_INET)) {
        EXPECT_EQ(address.address().ss_family, AF_INET);
        EXPECT_NE(dotted(address.address()).rfind("127.", 0), 0u);
    }
}

TEST(PeerUtilities, ConnectionTimeOutIsStrictlyAfterNinetySeconds) {
    test::ManualClock clock;
    auto peer = TunnexPeer::initUsingEncryption(true, 5, clock.clock());
    EXPECT_TRUE(peer->privateKey().empty());
    peer->markStartForConnectionTimeout();
    clock.advance(90.0);
    EXPECT_FALSE(peer->shouldTimeoutPeer());
    clock.advance(0.1);
    EXPECT_TRUE(peer->shouldTimeoutPeer());
    peer->setConnectionComplete(true);
    EXPECT_FALSE(peer->shouldTimeoutPeer());
    EXPECT_TRUE(peer->shouldAbandonPeer());  // complete, but not connected
}

TEST(PeerUtilities, DescriptionShowsTheKeyState) {
    auto peer = TunnexPeer::init();
    const std::string text = peer->description();
    EXPECT_EQ(text.rfind("Contacted Server: NO\nDH Public Key: ", 0), 0u) << text;
    EXPECT_NE(text.find("h\nRemote Public Key: None\nKey Encryption Key: None\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Remote IV: None\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace kl

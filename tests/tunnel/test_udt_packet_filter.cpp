// The kernel filter on a punched socket: what reaches the reliable transport, and a connect that
// survives hostile handshakes sent from the peer's own endpoint while it runs.
#include <gtest/gtest.h>
#include <poll.h>
#include <udt/udt.h>

#include <future>

#include "TunnelTestSupport.h"
#include "UdtTestSupport.h"
#include "tunnel/channel/TunnexUDTPacketFilter.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

sockaddr_in inet(const sockaddr_storage& storage) {
    sockaddr_in address{};
    std::memcpy(&address, &storage, sizeof address);
    return address;
}

int udpOn(const char* dotted, sockaddr_storage* address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    *address = test::ipv4Address(dotted, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(address), sizeof(sockaddr_in)) != 0) return -1;
    socklen_t length = sizeof *address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &length);
    return fd;
}

void putWord(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (24 - 8 * i));
}

// The transport's rendezvous handshake request: 16-byte control header of type 0, then version 4,
// message socket type, initial sequence, segment size, flight size, request type -1 (a response:
// the one the transport configures itself from), socket id.
Bytes handshake(uint32_t segmentSize, uint32_t flightSize) {
    Bytes bytes(64, 0);
    putWord(bytes, 0, 0x80000000u);
    putWord(bytes, 16, 4);
    putWord(bytes, 20, 2);
    putWord(bytes, 24, 12345);
    putWord(bytes, 28, segmentSize);
    putWord(bytes, 32, flightSize);
    putWord(bytes, 36, 0xffffffffu);
    putWord(bytes, 40, 777);
    return bytes;
}

bool sendTo(int fd, const Bytes& bytes, const sockaddr_storage& to) {
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(sockaddr_in)) ==
           ssize_t(bytes.size());
}

// The datagrams that reached fd within a short wait, by size.
std::vector<size_t> drain(int fd) {
    std::vector<size_t> sizes;
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 200) > 0) {
        uint8_t buffer[2048];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) break;
        sizes.push_back(size_t(got));
    }
    return sizes;
}

TEST(UDTPacketFilter, PassesOnlyThePeersPacketsAndSaneHandshakes) {
    sockaddr_storage guardedAddress{}, peerAddress{}, samePortElsewhere{}, otherPort{};
    const int guarded = udpOn("127.0.0.1", &guardedAddress);
    const int peer = udpOn("127.0.0.1", &peerAddress);
    const int other = udpOn("127.0.0.1", &otherPort);
    ASSERT_GE(guarded, 0);
    // Queued before the filter: discarded with it.
    ASSERT_TRUE(sendTo(peer, handshake(0xffffffffu, 25600), guardedAddress));
    ASSERT_TRUE(tunnexGuardUDTSocket(guarded, inet(peerAddress)));
    EXPECT_TRUE(drain(guarded).empty());

    struct Row {
        const char* what;
        Bytes datagram;
        bool passes;
    };
    Bytes data(40, 0xab);
    data[0] = 0x12;  // control flag clear: a data packet
    Bytes cut = handshake(1500, 25600);
    cut.resize(30);
    Bytes keepAlive(16, 0);
    putWord(keepAlive, 0, 0x80010000u);
    const std::vector<Row> rows = {
        {"a handshake with the sizes this system sends", handshake(1500, 25600), true},
        {"the smallest sizes the transport accepts", handshake(76, 32), true},
        {"segment size -1", handshake(0xffffffffu, 25600), false},
        {"segment size 0", handshake(0, 25600), false},
        {"segment size 28", handshake(28, 25600), false},
        {"segment size 44", handshake(44, 25600), false},
        {"segment size above an Ethernet frame", handshake(1501, 25600), false},
        {"flight size 0", handshake(1500, 0), false},
        {"flight size 2^31 - 1", handshake(1500, 0x7fffffffu), false},
        {"flight size 2^32 - 1", handshake(1500, 0xffffffffu), false},
        {"a handshake cut before its sizes", cut, false},
        {"a data packet", data, true},
        {"another control packet", keepAlive, true},
        {"a datagram too short for a header word", Bytes{0xed, 0xfe}, false},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(sendTo(peer, row.datagram, guardedAddress)) << row.what;
        const auto got = drain(guarded);
        EXPECT_EQ(got, row.passes ? std::vector<size_t>{row.datagram.size()} : std::vector<size_t>{}) << row.what;
    }
    // Anything from another endpoint, however well formed, is dropped.
    ASSERT_TRUE(sendTo(other, handshake(1500, 25600), guardedAddress));
    ASSERT_TRUE(sendTo(other, data, guardedAddress));
    const int elsewhere = udpOn("127.0.0.2", &samePortElsewhere);
    if (elsewhere >= 0) {
        ASSERT_TRUE(sendTo(elsewhere, data, guardedAddress));
    }
    EXPECT_TRUE(drain(guarded).empty());
    for (int fd : {guarded, peer, other, elsewhere}) {
        if (fd >= 0) ::close(fd);
    }
}

TEST(UDTPacketFilter, RendezvousConnectSurvivesHostileHandshakesFromThePeersEndpoint) {
    test::UdpPeers peers;
    ASSERT_TRUE(tunnexGuardUDTSocket(peers.fdA, inet(peers.addressB)));
    ASSERT_TRUE(tunnexGuardUDTSocket(peers.fdB, inet(peers.addressA)));
    // Side A connects first; from B's endpoint come the handshakes that would make the transport
    // allocate without bound, before B's own transport starts.
    auto sideA = std::async(std::launch::async,
                            [&] { return openUDTChannel(peers.fdA, peers.addressB, TunnexChannelMode::Message, 20s); });
    std::this_thread::sleep_for(300ms);
    for (uint32_t segmentSize : {0xffffffffu, 0xffffffffu, 0u, 28u, 44u}) {
        ASSERT_TRUE(sendTo(peers.fdB, handshake(segmentSize, 25600), peers.addressA));
    }
    for (uint32_t flightSize : {0xffffffffu, 0x7fffffffu}) {
        ASSERT_TRUE(sendTo(peers.fdB, handshake(1500, flightSize), peers.addressA));
    }
    std::this_thread::sleep_for(300ms);
    Result<int> b = openUDTChannel(peers.fdB, peers.addressA, TunnexChannelMode::Message, 20s);
    Result<int> a = sideA.get();
    ASSERT_TRUE(a) << a.error().description();
    ASSERT_TRUE(b) << b.error().description();
    const char message[] = "still here";
    ASSERT_EQ(UDT::sendmsg(*a, message, sizeof message), int(sizeof message));
    char received[64] = {};
    ASSERT_EQ(UDT::recvmsg(*b, received, sizeof received), int(sizeof message));
    EXPECT_STREQ(received, message);
    UDT::close(*a);
    UDT::close(*b);
}

}  // namespace
}  // namespace kl

// Datagram forwards end to end inside one process: a local UDP client sends to a forwarded port of
// one peer, the datagrams cross the loopback tunnel's main channel (encrypted or not) and the other
// peer sends them on to a UDP server; results of each kind reach the delegate.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <future>

#include "ForwardTestSupport.h"
#include "foundation/KLNetSocketAddress.h"

namespace kl {
namespace {

using namespace kl::test;
using namespace std::chrono_literals;

// A UDP socket on 127.0.0.1 (AF_INET) or on every interface (AF_INET6); -1 when the port is taken.
int boundUdp(int family, uint16_t port) {
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage address = wildcardSocketAddress(family, port);
    if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), socketAddressLength(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return socketAddressPort(address);
}

// The first IPv4 address of an interface that is up and not the loopback.
bool firstNonLoopbackAddress(sockaddr_in* address) {
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return false;
    bool found = false;
    for (ifaddrs* entry = interfaces; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP) ||
            (entry->ifa_flags & IFF_LOOPBACK)) {
            continue;
        }
        std::memcpy(address, entry->ifa_addr, sizeof *address);
        found = true;
    }
    ::freeifaddrs(interfaces);
    return found;
}

// A UDP port on every interface that is free now (bound and released).
uint16_t freeUdpPort() {
    int fd = boundUdp(AF_INET6, 0);
    const uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

// A UDP server on 127.0.0.1 that keeps every datagram it receives.
class UdpReceiver {
public:
    UdpReceiver() : fd_(boundUdp(AF_INET, 0)) {
        thread_ = std::thread([this] {
            std::vector<uint8_t> buffer(65536);
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
                if (n < 0) continue;
                std::lock_guard lock(mutex_);
                received_.emplace_back(buffer.begin(), buffer.begin() + n);
            }
        });
    }
    ~UdpReceiver() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return boundPort(fd_); }
    std::vector<Bytes> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

// Datagram i of a stream: its number, the stream's mark, then a pattern; sizes vary, one is large.
Bytes numbered(uint8_t mark, uint32_t i) {
    const size_t size = i == 7 ? 60000 : 8 + (i * 197) % 1800;
    Bytes datagram(size);
    std::memcpy(datagram.data(), &i, sizeof i);
    datagram[4] = mark;
    for (size_t k = 5; k < size; ++k) datagram[k] = uint8_t(i * 31 + k);
    return datagram;
}

void sendNumbered(uint16_t port, uint8_t mark, uint32_t count) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to{};
    KLNetSocket::getAddressForHost("127.0.0.1", AF_INET, SOCK_DGRAM, to);
    setSocketAddressPort(to, port);
    for (uint32_t i = 0; i < count; ++i) {
        const Bytes datagram = numbered(mark, i);
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), socketAddressLength(to));
        std::this_thread::sleep_for(500us);
    }
    ::close(fd);
}

// Every datagram of the stream arrived, in order and intact.
void expectStream(UdpReceiver& receiver, uint8_t mark, uint32_t count) {
    ASSERT_TRUE(waitFor([&] { return receiver.received().size() >= count; }, 20s))
        << "received " << receiver.received().size() << " of " << count;
    const auto received = receiver.received();
    ASSERT_EQ(received.size(), count);
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(received[i], numbered(mark, i)) << "datagram " << i;
}

class DatagramForwards : public ForwardPeers {
protected:
    std::shared_ptr<TestConnector> connector(const std::string& key) {
        auto made = std::make_shared<TestConnector>(key, "uuid-of-b");
        connectors.push_back(made);
        return made;
    }
    uint16_t forward(uint16_t localPort, const std::string& host, uint16_t remotePort, const std::string& key) {
        return peerA->requestPortForwardFromPort(localPort, host, remotePort, TunnexPeer::kForwardTypeDatagram,
                                                 remoteOfA, nullptr, connector(key), true);
    }
    // The first result of the kind for the hash, once it has arrived (a failed name lookup may
    // wait for the resolver's time-outs).
    std::optional<ForwardSuccessResult> resultFor(TunnexForwardKind kind, uint32_t hash) {
        std::optional<ForwardSuccessResult> found;
        waitFor(
            [&] {
                for (const auto& result : reports->results()) {
                    if (result.forwardKind == uint8_t(kind) && result.chanHash == hash) found = result;
                }
                return found.has_value();
            },
            40s);
        return found;
    }
};

class DatagramForwardsEncrypted : public DatagramForwards, public ::testing::WithParamInterface<bool> {};

// Two forwards relayed at the same moment from their own threads: with encryption, one stream runs
// over both in the order they are sent, so any reordering between encryption and send would show.
TEST_P(DatagramForwardsEncrypted, DatagramsArriveIntactAndInOrder) {
    connect(GetParam());
    ASSERT_EQ(peerA->usingEncryption(), GetParam());
    UdpReceiver first, second;
    const uint16_t portOne = freeUdpPort(), portTwo = freeUdpPort();
    ASSERT_EQ(forward(portOne, "127.0.0.1", first.port(), "svc-one"), portOne);
    ASSERT_EQ(forward(portTwo, "127.0.0.1", second.port(), "svc-two"), portTwo);
    EXPECT_EQ(connectors[0]->localPort(), portOne);
    EXPECT_EQ(connectors[0]->remotePort(), first.port());
    for (auto [port, target] : {std::pair{portOne, first.port()}, std::pair{portTwo, second.port()}}) {
        auto result = resultFor(TunnexForwardKind::LocalDatagram, TunnexPeer::datagramForwardHash(port));
        ASSERT_TRUE(result);
        EXPECT_TRUE(result->success);
        EXPECT_EQ(result->host, "127.0.0.1");
        EXPECT_EQ(result->port, target);
    }
    EXPECT_EQ(peerA->datagramForwardCount(), 2u);
    EXPECT_EQ(peerB->datagramForwardCount(), 2u);

    constexpr uint32_t kCount = 40;
    auto one = std::async(std::launch::async, [&] { sendNumbered(portOne, 1, kCount); });
    auto two = std::async(std::launch::async, [&] { sendNumbered(portTwo, 2, kCount); });
    one.get();
    two.get();
    expectStream(first, 1, kCount);
    expectStream(second, 2, kCount);
}

INSTANTIATE_TEST_SUITE_P(Encryption, DatagramForwardsEncrypted, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

TEST_F(DatagramForwards, AReverseForwardListensOnTheRemoteSide) {
    connect(true);
    UdpReceiver receiver;
    const uint16_t listening = freeUdpPort();
    ASSERT_EQ(peerA->requestReversePortForwardToPort(receiver.port(), "127.0.0.1", listening, remoteOfA, nullptr),
              listening);
    auto result = resultFor(TunnexForwardKind::RemoteDatagram, TunnexPeer::datagramForwardHash(listening));
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->success);
    // B listens, A sends on.
    sendNumbered(listening, 3, 10);
    expectStream(receiver, 3, 10);
}

TEST_F(DatagramForwards, FailuresAreReportedNotHidden) {
    connect(false);
    // The remote cannot resolve the host: a failed result of kind 1, and nothing kept there.
    const uint16_t local = freeUdpPort();
    ASSERT_EQ(forward(local, "no-such-host.invalid", 9, "svc-nowhere"), local);
    EXPECT_EQ(forward(local, "127.0.0.1", 9, "svc-again"), 0);  // the port's forward exists
    auto result = resultFor(TunnexForwardKind::LocalDatagram, TunnexPeer::datagramForwardHash(local));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->success);
    EXPECT_EQ(result->host, "no-such-host.invalid");
    EXPECT_EQ(result->port, 9);
    EXPECT_EQ(peerB->datagramForwardCount(), 0u);

    // A local port that is taken: no forward, and the connector's ports stay unset.
    int taken = boundUdp(AF_INET6, 0);
    auto busy = connector("svc-busy");
    EXPECT_EQ(peerA->requestPortForwardFromPort(boundPort(taken), "127.0.0.1", 9, TunnexPeer::kForwardTypeDatagram,
                                                remoteOfA, nullptr, busy, true),
              0);
    EXPECT_EQ(busy->localPort(), 0);
    // The same on the remote side of a reverse forward: a failed result of kind 2.
    const uint16_t takenPort = boundPort(taken);
    ASSERT_EQ(peerA->requestReversePortForwardToPort(9, "127.0.0.1", takenPort, remoteOfA, nullptr), takenPort);
    result = resultFor(TunnexForwardKind::RemoteDatagram, TunnexPeer::datagramForwardHash(takenPort));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->success);
    EXPECT_TRUE(waitFor([&] { return peerB->datagramForwardCount() == 0; }));
    ::close(taken);

    // A reverse forward whose destination does not resolve here is not requested at all.
    EXPECT_EQ(peerA->requestReversePortForwardToPort(9, "no-such-host.invalid", freeUdpPort(), remoteOfA, nullptr), 0);
    // Host names that do not fit the message, a local port of 0.
    EXPECT_EQ(forward(freeUdpPort(), std::string(256, 'h'), 9, "svc-long"), 0);
    EXPECT_EQ(forward(0, "127.0.0.1", 9, "svc-zero"), 0);
    // Left: the unresolved forward's listener and the reverse forward's half here.
    EXPECT_EQ(peerA->datagramForwardCount(), 2u);
}

// A datagram for a hash that has no forward on the receiving side is dropped, and so is one too
// large for a UDP datagram; the inbound stream still runs over both, so later datagrams decrypt.
TEST_F(DatagramForwards, DroppedDatagramsKeepTheStreamInStep) {
    connect(true);
    UdpReceiver receiver;
    const uint16_t local = freeUdpPort();
    ASSERT_EQ(forward(local, "127.0.0.1", receiver.port(), "svc-stray"), local);
    ASSERT_TRUE(resultFor(TunnexForwardKind::LocalDatagram, TunnexPeer::datagramForwardHash(local)));

    // Handed to the dispatcher as if a local client had sent them (the forward takes this
    // machine's datagrams only).
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* from = reinterpret_cast<const sockaddr*>(&client);
    auto stray = KLNetSocket::initWithFamily(AF_INET);
    stray->setTag(0x5eed);
    const Bytes junk(333, 0x77);
    peerA->datagramReceivedForSocketFromAddress(*stray, KLNetDatagram{junk, nullptr}, from, sizeof client);
    auto oversized = KLNetSocket::initWithFamily(AF_INET);
    oversized->setTag(TunnexPeer::datagramForwardHash(local));
    const Bytes huge(70000, 0x55);
    peerA->datagramReceivedForSocketFromAddress(*oversized, KLNetDatagram{huge, nullptr}, from, sizeof client);
    sendNumbered(local, 4, 10);
    expectStream(receiver, 4, 10);
    EXPECT_TRUE(memoryLogContains("larger than one UDP datagram"));
}

// A forward for this machine's clients only relays what a loopback address sent; without that
// choice it relays from anywhere. The other datagram goes first from this machine's own network
// address: relayed, it would arrive before the loopback one (one main channel, in order).
TEST_F(DatagramForwards, AForwardForThisMachineOnlyDropsDatagramsFromOtherAddresses) {
    sockaddr_in outside{};
    if (!firstNonLoopbackAddress(&outside)) GTEST_SKIP() << "no network address besides the loopback";
    connect(false);
    for (bool loopbackOnly : {true, false}) {
        UdpReceiver receiver;
        const uint16_t local = freeUdpPort();
        ASSERT_EQ(peerA->requestPortForwardFromPort(local, "127.0.0.1", receiver.port(), TunnexPeer::kForwardTypeDatagram,
                                                    remoteOfA, nullptr, connector("svc-scope"), loopbackOnly),
                  local);
        ASSERT_TRUE(resultFor(TunnexForwardKind::LocalDatagram, TunnexPeer::datagramForwardHash(local)));

        const Bytes foreign = numbered(9, 0), own = numbered(9, 1);
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = outside;
        to.sin_port = htons(local);
        ::sendto(fd, foreign.data(), foreign.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::close(fd);
        sockaddr_storage loopback{};
        KLNetSocket::getAddressForHost("127.0.0.1", AF_INET, SOCK_DGRAM, loopback);
        setSocketAddressPort(loopback, local);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::sendto(fd, own.data(), own.size(), 0, reinterpret_cast<sockaddr*>(&loopback), socketAddressLength(loopback));
        ::close(fd);

        ASSERT_TRUE(waitFor([&] { return receiver.received().size() >= (loopbackOnly ? 1u : 2u); }, 20s));
        const auto received = receiver.received();
        if (loopbackOnly) {
            EXPECT_EQ(received, std::vector<Bytes>{own});
        } else {
            EXPECT_EQ(received, (std::vector<Bytes>{foreign, own}));
        }
    }
}

TEST_F(DatagramForwards, TeardownClosesTheSocketsAndFreesThePort) {
    connect(true);
    setLoggingLevel(kKLTLoggingLevelVerbose);  // the fixture restores it
    UdpReceiver receiver;
    const uint16_t local = freeUdpPort();
    ASSERT_EQ(forward(local, "127.0.0.1", receiver.port(), "svc-gone"), local);
    ASSERT_TRUE(resultFor(TunnexForwardKind::LocalDatagram, TunnexPeer::datagramForwardHash(local)));
    EXPECT_EQ(boundUdp(AF_INET6, local), -1);  // the forward holds it

    peerA->teardownConnection();
    EXPECT_TRUE(waitFor([&] { return peerA->datagramForwardCount() == 0 && peerB->datagramForwardCount() == 0; }));
    EXPECT_TRUE(waitFor([&] {
        int fd = boundUdp(AF_INET6, local);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    }));
    EXPECT_TRUE(memoryLogContains("Will close socket"));
    // A forward asked for after the teardown is refused.
    EXPECT_EQ(forward(freeUdpPort(), "127.0.0.1", receiver.port(), "svc-late"), 0);
}

}  // namespace
}  // namespace kl

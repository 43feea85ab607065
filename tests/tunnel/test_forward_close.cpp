// The ends of forwarded connections: whichever side closes first, right after writing a large
// block, the other side gets every byte before the end; and a client that connects while the
// tunnel is still being made is served once it is up, or closed when it fails.
//
// KL_FORWARD_CLOSE_ROUNDS sets how many connections each close test makes (a few by default; many
// when hunting a race by hand).
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <random>

#include "ForwardTestSupport.h"
#include "tunnel/channel/TunnexSocketImpl.h"

namespace kl {
namespace {

using namespace kl::test;

int rounds() {
    const char* text = std::getenv("KL_FORWARD_CLOSE_ROUNDS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 3;
}

// A loopback server that serves one connection at a time with the given handler, then closes it.
class OneShotServer {
public:
    explicit OneShotServer(std::function<void(int)> handler) : handler_(std::move(handler)) {
        fd_ = plainListener(AF_INET, &port_);
        thread_ = std::thread([this] {
            for (;;) {
                int client = ::accept(fd_, nullptr, nullptr);
                if (client < 0) return;
                handler_(client);
                ::close(client);
            }
        });
    }
    ~OneShotServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return uint16_t(port_); }

private:
    std::function<void(int)> handler_;
    int fd_ = -1, port_ = 0;
    std::thread thread_;
};

constexpr size_t kBlock = 6 << 20;

// The shape of a plain HTTP/1.0 download: a short request, a response of several MiB, and the
// server's close the moment its last write returns.
TEST_F(ForwardPeers, AServerThatClosesRightAfterALargeResponseLosesNothing) {
    connect(true);
    const Bytes response = randomBytes(kBlock, 7);
    OneShotServer server([&](int client) {
        char request[64];
        if (::read(client, request, sizeof request) <= 0) return;
        writeAll(client, response.data(), response.size());
    });
    const uint16_t local = forward(peerA, server.port(), "svc-download");
    for (int round = 0; round < rounds(); ++round) {
        int client = plainConnect(AF_INET6, local);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(writeAll(client, "GET / HTTP/1.0\r\n\r\n", 18));
        std::optional<Bytes> got = readToEnd(client);
        ::close(client);
        ASSERT_TRUE(got) << "round " << round << ": no end of stream";
        ASSERT_EQ(got->size(), response.size()) << "round " << round;
        ASSERT_TRUE(*got == response) << "round " << round;
    }
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

// The other way round: the local client uploads a block and closes at once.
TEST_F(ForwardPeers, AClientThatClosesRightAfterALargeUploadLosesNothing) {
    connect(true);
    const Bytes upload = randomBytes(kBlock, 8);
    std::mutex mutex;
    std::vector<std::optional<Bytes>> received;
    OneShotServer server([&](int client) {
        auto all = readToEnd(client);
        std::lock_guard lock(mutex);
        received.push_back(std::move(all));
    });
    const uint16_t local = forward(peerA, server.port(), "svc-upload");
    for (int round = 0; round < rounds(); ++round) {
        int client = plainConnect(AF_INET6, local);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(writeAll(client, upload.data(), upload.size()));
        ::close(client);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard lock(mutex);
            return received.size() == size_t(round + 1);
        })) << "round " << round << ": the upload did not end at the server";
        std::lock_guard lock(mutex);
        ASSERT_TRUE(received.back()) << "round " << round << ": no end of stream";
        ASSERT_EQ(received.back()->size(), upload.size()) << "round " << round;
        ASSERT_TRUE(*received.back() == upload) << "round " << round;
    }
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

// A client that connects while the tunnel is being made (its start already under way) waits, its
// first bytes kept, and is bridged the moment the tunnel is up.
TEST_F(ForwardPeers, AClientWaitingForTheTunnelIsBridgedOnceItIsUp) {
    makePeers(true);
    OneShotServer server([](int client) {
        char buffer[256];
        ssize_t r = ::read(client, buffer, sizeof buffer);
        if (r > 0) writeAll(client, buffer, size_t(r));
    });
    const uint16_t local = forward(peerA, server.port(), "svc-early");
    manager->markStartForRemoteUUID("uuid-of-b");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(writeAll(client, "early", 5));
    ASSERT_TRUE(waitFor([] { return memoryLogContains("has already been initiated"); }));
    joinMainChannels();
    char echo[5];
    EXPECT_TRUE(readExactly(client, echo, sizeof echo));
    EXPECT_EQ(std::string(echo, sizeof echo), "early");
    EXPECT_TRUE(seesEndOfStream(client));
    ::close(client);
}

// A waiting client is queued with the manager that took the peer, even when no manager is
// installed for the process.
TEST_F(ForwardPeers, AWaitingClientIsQueuedWithThePeersOwnManager) {
    makePeers(true);
    setTunnexPeerManager(nullptr);
    const uint16_t local = forward(peerA, 9, "svc-own-manager");
    manager->markStartForRemoteUUID("uuid-of-b");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitFor([] { return memoryLogContains("has already been initiated"); }));
    EXPECT_EQ(manager->channelRequestsForServiceKey("svc-own-manager").size(), 1u);
    ::close(client);
}

// When the tunnel cannot be made, the waiting client is closed, and the log says why.
TEST_F(ForwardPeers, AClientWaitingForATunnelThatFailsIsClosed) {
    makePeers(true);
    const uint16_t local = forward(peerA, 9, "svc-failed");
    manager->markStartForRemoteUUID("uuid-of-b");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitFor([] { return memoryLogContains("has already been initiated"); }));
    peerA->failedToConnectWithRemotePeer(remoteOfA);
    EXPECT_TRUE(seesEndOfStream(client));
    ::close(client);
    EXPECT_TRUE(memoryLogContains("waiting connection(s) to"));
}

}  // namespace
}  // namespace kl

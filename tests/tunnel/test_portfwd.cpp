// Stream forwards end to end inside one process: a local client connects to a forwarded port of one
// peer, the data channel opens through the loopback tunnel, the other peer connects to the target
// and the bytes flow both ways, encrypted, until either end closes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <random>

#include "ForwardTestSupport.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "support/PoolHog.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/forward/TunnexBufferPool.h"
#include "tunnel/sockcore/NameResolver.h"

namespace kl {
namespace {

using namespace kl::test;

// A loopback echo server (IPv4: the forwards name 127.0.0.1) that first
// greets every client with its name, then echoes until the client's end of stream.
class EchoServer {
public:
    explicit EchoServer(std::string name) : name_(std::move(name)) {
        fd_ = plainListener(AF_INET, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~EchoServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        for (auto& worker : workers_) worker.join();
        ::close(fd_);
    }
    uint16_t port() const { return uint16_t(port_); }
    int ended() const { return ended_.load(); }
    // Runs on the accepting thread for every client, before its greeting.
    void setOnAccept(std::function<void()> hook) { onAccept_ = std::move(hook); }

private:
    void run() {
        for (;;) {
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            if (onAccept_) onAccept_();
            workers_.emplace_back([this, client] {
                writeAll(client, name_.data(), name_.size());
                char buffer[65536];
                for (;;) {
                    ssize_t r = ::read(client, buffer, sizeof buffer);
                    if (r <= 0) break;
                    if (!writeAll(client, buffer, size_t(r))) break;
                }
                ended_++;
                ::close(client);
            });
        }
    }
    std::string name_;
    int fd_ = -1, port_ = 0;
    std::thread thread_;
    std::vector<std::thread> workers_;
    std::atomic<int> ended_{0};
    std::function<void()> onAccept_;
};

std::string readGreeting(int fd, size_t length) {
    std::string text(length, '\0');
    return readExactly(fd, text.data(), length) ? text : std::string();
}

// Sends data and reads its echo at the same time (a large write would otherwise fill every
// buffer on the way and stall); true when the echo is identical.
bool echoes(int fd, const Bytes& data) {
    auto writer = std::async(std::launch::async, [&] { return writeAll(fd, data.data(), data.size()); });
    Bytes back(data.size());
    bool read = readExactly(fd, back.data(), back.size());
    return writer.get() && read && back == data;
}

TEST_F(ForwardPeers, BytesFlowBothWaysEncryptedAndACloseEndsBothSides) {
    connect(true);
    ASSERT_TRUE(peerA->usingEncryption());
    EchoServer server("server-b");
    const uint16_t port = forward(peerA, server.port(), "svc-echo");
    EXPECT_EQ(connectors[0]->localPort(), port);
    EXPECT_EQ(peerA->serviceListenerCount(), 1u);

    int client = plainConnect(AF_INET6, port);
    ASSERT_GE(client, 0);
    // Written before the channel exists: held by the frozen connection and delivered first.
    const std::string early = "early bytes";
    ASSERT_TRUE(writeAll(client, early.data(), early.size()));
    EXPECT_EQ(readGreeting(client, 8), "server-b");
    EXPECT_EQ(readGreeting(client, early.size()), early);
    EXPECT_TRUE(echoes(client, randomBytes(2 << 20, 1)));

    // Each side holds the channel under its shared hash and its own; both peers encrypt it.
    EXPECT_EQ(peerA->channelKeyCount(), 2u);
    EXPECT_EQ(peerB->channelKeyCount(), 2u);
    EXPECT_EQ(peerA->tunnelCount(), 1);

    ::close(client);
    EXPECT_TRUE(waitFor([&] { return server.ended() == 1; }));
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
    EXPECT_TRUE(waitFor([&] { return peerA->tunnelCount() == 0 && peerB->tunnelCount() == 0; }));
    // The main channel persists by default.
    EXPECT_FALSE(peerA->closeOfMainChannelQueued());
}

TEST_F(ForwardPeers, TheRemoteServersCloseEndsTheLocalClientAfterItsLastBytes) {
    connect(false);
    // A server that writes one block and closes at once.
    int port = 0;
    int listener = plainListener(AF_INET, &port);
    const Bytes block = randomBytes(3 << 20, 2);
    std::thread serverThread([&] {
        int conn = plainAccept(listener);
        if (conn < 0) return;
        writeAll(conn, block.data(), block.size());
        ::close(conn);
    });
    const uint16_t local = forward(peerA, uint16_t(port), "svc-once");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    Bytes got(block.size());
    EXPECT_TRUE(readExactly(client, got.data(), got.size()));
    EXPECT_EQ(got, block);
    EXPECT_TRUE(seesEndOfStream(client));
    serverThread.join();
    ::close(client);
    ::close(listener);
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

TEST_F(ForwardPeers, ParallelConnectionsEachKeepTheirOwnStream) {
    connect(true);
    EchoServer server("server-b");
    const uint16_t port = forward(peerA, server.port(), "svc-parallel");
    constexpr int kClients = 6;
    std::vector<std::future<bool>> outcomes;
    for (int i = 0; i < kClients; ++i) {
        outcomes.push_back(std::async(std::launch::async, [port, i] {
            // Half the clients come in over IPv4: the forward listens on 127.0.0.1 as well as ::1.
            int fd = plainConnect(i % 2 ? AF_INET : AF_INET6, port);
            if (fd < 0) return false;
            bool ok = readGreeting(fd, 8) == "server-b" && echoes(fd, randomBytes(256 << 10, 10 + i));
            ::close(fd);
            return ok;
        }));
    }
    for (auto& outcome : outcomes) EXPECT_TRUE(outcome.get());
    EXPECT_TRUE(waitFor([&] { return server.ended() == kClients; }));
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

// Ten clients on each side at once, with only three pool threads free: every channel opens, each
// reaches the server on the other side, and the openings pipeline instead of each taking a thread.
TEST_F(ForwardPeers, TenConnectionsFromEachSideAtOnceAllPairWithFewPoolThreads) {
    connect(true);
    EchoServer serverA("server-a"), serverB("server-b");
    const uint16_t toB = forward(peerA, serverB.port(), "svc-many-to-b");
    const uint16_t toA = forward(peerB, serverA.port(), "svc-many-to-a");
    PoolHog hog(3);
    constexpr int kEach = 10;
    std::vector<std::future<bool>> outcomes;
    for (int i = 0; i < 2 * kEach; ++i) {
        const bool fromA = i % 2 == 0;
        outcomes.push_back(std::async(std::launch::async, [=] {
            int fd = plainConnect(AF_INET6, fromA ? toB : toA);
            if (fd < 0) return false;
            bool ok = readGreeting(fd, 8) == (fromA ? "server-b" : "server-a") && echoes(fd, randomBytes(4 << 10, 400 + i));
            ::close(fd);
            return ok;
        }));
    }
    for (int i = 0; i < 2 * kEach; ++i) EXPECT_TRUE(outcomes[i].get()) << "client " << i;
    EXPECT_TRUE(waitFor([&] { return serverA.ended() == kEach && serverB.ended() == kEach; }));
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

// The answering side's name lookup may take seconds: it holds no pool thread meanwhile (with all but
// one held, pool work still runs), and the connection to the named host follows once it answers.
TEST_F(ForwardPeers, ASlowNameLookupHoldsNoPoolThreadAndTheConnectionFollowsIt) {
    connect(true);
    EchoServer server("server-b");
    const uint16_t local = forward(peerA, server.port(), "svc-slow-name");
    // Lookups wait until answered; whatever the test asserted, they are answered at its end and the
    // resolver looks names up as before.
    struct HeldLookups {
        std::promise<void> entered, released;
        std::shared_future<void> release = released.get_future().share();
        std::atomic<bool> enteredOnce{false}, answered{false};
        void answer() {
            if (!answered.exchange(true)) released.set_value();
        }
    };
    auto held = std::make_shared<HeldLookups>();
    auto entered = held->entered.get_future();
    NameResolver::shared().setLookupFunction([held](const char* host, std::string* canonical, int family) {
        if (!held->enteredOnce.exchange(true)) held->entered.set_value();
        held->release.wait();
        return sk_namelookup(host, canonical, family);
    });
    struct Restore {
        std::shared_ptr<HeldLookups> held;
        ~Restore() {
            NameResolver::shared().setLookupFunction(sk_namelookup);
            held->answer();
        }
    } restore{held};

    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    ASSERT_EQ(entered.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the lookup never started";
    {
        PoolHog hog(1);
        EXPECT_TRUE(PoolHog::poolStillRuns()) << "the lookup holds a pool thread";
    }
    held->answer();
    EXPECT_EQ(readGreeting(client, 8), "server-b");
    EXPECT_TRUE(echoes(client, randomBytes(4 << 10, 77)));
    ::close(client);
}

// Both ends request channels at the same moment: every client must reach the server on the other
// side, not a client of the other side.
TEST_F(ForwardPeers, ForwardsOpenedInBothDirectionsAtOncePairCorrectly) {
    connect(true);
    EchoServer serverA("server-a"), serverB("server-b");
    const uint16_t toB = forward(peerA, serverB.port(), "svc-to-b");
    const uint16_t toA = forward(peerB, serverA.port(), "svc-to-a");
    for (int round = 0; round < 3; ++round) {
        auto atA = std::async(std::launch::async, [&] {
            int fd = plainConnect(AF_INET6, toB);
            std::string greeting = readGreeting(fd, 8);
            bool ok = greeting == "server-b" && echoes(fd, randomBytes(64 << 10, 100 + round));
            ::close(fd);
            return ok;
        });
        auto atB = std::async(std::launch::async, [&] {
            int fd = plainConnect(AF_INET6, toA);
            std::string greeting = readGreeting(fd, 8);
            bool ok = greeting == "server-a" && echoes(fd, randomBytes(64 << 10, 200 + round));
            ::close(fd);
            return ok;
        });
        EXPECT_TRUE(atA.get()) << "round " << round;
        EXPECT_TRUE(atB.get()) << "round " << round;
    }
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
}

// B answers A's request and, the moment its answering side reaches the server, requests a channel
// of its own under a hash smaller than A's. A may still be deciding whose its connection is: B's
// request must not be taken for one that crossed A's.
TEST_F(ForwardPeers, ARequestRightAfterAnsweringPairsWithItsOwnAnswer) {
    connect(false);  // B's own channel is read raw below
    EchoServer serverA("server-a"), serverB("server-b");
    const uint16_t toB = forward(peerA, serverB.port(), "svc-to-b");
    auto opened = std::make_shared<std::promise<std::shared_ptr<TunnexSocketImpl>>>();
    auto fromB = opened->get_future();
    std::atomic<bool> requested{false};
    serverB.setOnAccept([&] {
        if (requested.exchange(true)) return;
        peerB->sendRequestForForward({"127.0.0.1", serverA.port(), 1}, remoteOfB,
                                     [opened](std::shared_ptr<TunnexSocketImpl> channel) { opened->set_value(channel); });
    });
    int fd = plainConnect(AF_INET6, toB);
    EXPECT_EQ(readGreeting(fd, 8), "server-b");
    EXPECT_TRUE(echoes(fd, randomBytes(16 << 10, 300)));
    ::close(fd);
    ASSERT_TRUE(requested.load());
    auto channel = fromB.get();
    ASSERT_TRUE(channel);
    std::string greeting;
    while (greeting.size() < 8) {
        Error error;
        auto bytes = channel->recvBytes(8 - greeting.size(), 20.0, &error);
        if (!bytes || bytes->empty()) break;
        greeting.append(bytes->begin(), bytes->end());
    }
    EXPECT_EQ(greeting, "server-a");
    channel->close();
}

TEST_F(ForwardPeers, ARefusedRemotePortReachesTheDelegateAsAFailedResultAndClosesTheClient) {
    connect(false);
    int refused = 0;
    ::close(refusingPort(&refused));
    const uint16_t local = forward(peerA, uint16_t(refused), "svc-refused");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(seesEndOfStream(client));
    ::close(client);
    ASSERT_TRUE(waitFor([&] { return !reports->results().empty(); }));
    const ForwardSuccessResult result = reports->results().front();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.host, "127.0.0.1");
    EXPECT_EQ(result.port, refused);
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
    EXPECT_TRUE(waitFor([&] { return peerA->tunnelCount() == 0 && peerB->tunnelCount() == 0; }));
}

TEST_F(ForwardPeers, HostNamesThatDoNotFitTheMessageAreRefused) {
    connect(false);
    auto connector = std::make_shared<TestConnector>("svc-long", "uuid-of-b");
    const std::string longest(255, 'h'), tooLong(256, 'h');
    const uint16_t port = freeLoopbackPort();
    EXPECT_EQ(peerA->requestPortForwardFromPort(port, tooLong, 80, TunnexPeer::kForwardTypeStream, remoteOfA, nullptr,
                                                connector, true),
              0);
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);
    EXPECT_EQ(peerA->requestPortForwardFromPort(port, longest, 80, TunnexPeer::kForwardTypeStream, remoteOfA, nullptr,
                                                connector, true),
              port);
    // Other types make no forward.
    EXPECT_EQ(peerA->requestPortForwardFromPort(0, "localhost", 80, 3, remoteOfA, nullptr, connector, true), 0);
}

TEST_F(ForwardPeers, AClientOfAForwardWithoutARemoteRecordIsClosedAtOnce) {
    connect(false);
    auto connector = std::make_shared<TestConnector>("svc-nowhere", "uuid-of-nobody");
    const uint16_t port = freeLoopbackPort();
    ASSERT_EQ(peerA->requestPortForwardFromPort(port, "localhost", 80, TunnexPeer::kForwardTypeStream, nullptr,
                                                nullptr, connector, true),
              port);
    int client = plainConnect(AF_INET6, port);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(seesEndOfStream(client));
    ::close(client);
    EXPECT_TRUE(memoryLogContains("No remote peer object available for incoming port forward"));
}

TEST_F(ForwardPeers, TheMainChannelClosesOnlyAfterItsLastChannelWhenItDoesNotPersist) {
    connect(false);
    peerA->queueCloseOfMainChannel();
    EXPECT_EQ(peerA->tunnelCount(), 0);  // never below 0
    EXPECT_FALSE(peerA->closeOfMainChannelQueued());  // persists by default

    peerA->setMainChannelPersists(false);
    peerA->cancelCloseOfMainChannel();
    peerA->cancelCloseOfMainChannel();
    peerA->queueCloseOfMainChannel();
    EXPECT_EQ(peerA->tunnelCount(), 1);
    EXPECT_FALSE(peerA->closeOfMainChannelQueued());
    peerA->queueCloseOfMainChannel();
    EXPECT_EQ(peerA->tunnelCount(), 0);
    EXPECT_TRUE(peerA->closeOfMainChannelQueued());
    // A channel opening in between cancels the close.
    peerA->cancelCloseOfMainChannel();
    EXPECT_FALSE(peerA->closeOfMainChannelQueued());
    EXPECT_EQ(peerA->tunnelCount(), 1);
}

TEST_F(ForwardPeers, TeardownClosesListenersAndChannelsOnce) {
    connect(false);
    EchoServer server("server-b");
    const uint16_t port = forward(peerA, server.port(), "svc-teardown");
    int client = plainConnect(AF_INET6, port);
    ASSERT_EQ(readGreeting(client, 8), "server-b");
    peerA->teardownConnection();
    EXPECT_TRUE(seesEndOfStream(client));
    ::close(client);
    EXPECT_TRUE(waitFor([&] { return peerA->serviceListenerCount() == 0 && peerA->channelKeyCount() == 0; }));
    // The listener is gone.
    EXPECT_TRUE(waitFor([&] {
        int fd = plainConnect(AF_INET6, port);
        if (fd >= 0) ::close(fd);
        return fd < 0;
    }));
    // Counted for A alone: B tears its side down too once A's main channel is gone.
    char text[96];
    std::snprintf(text, sizeof text, "teardownConnection entered for peer: %p", static_cast<void*>(peerA.get()));
    auto entries = [&] {
        size_t n = 0;
        for (const auto& line : memoryLogLines()) n += line.find(text) != std::string::npos;
        return n;
    };
    const size_t entered = entries();
    EXPECT_EQ(entered, 1u);
    peerA->teardownConnection();
    const size_t after = entries();
    EXPECT_EQ(after, entered);
}

// Once the teardown has been asked for, its listeners are out of service at once, and one the
// caller cancels before the teardown's own closing gets to it is closed by that call.
TEST_F(ForwardPeers, AListenerCancelledWhileTheTeardownIsPendingClosesAtOnce) {
    connect(false);
    const uint16_t port = forward(peerA, 9, "svc-pending");
    {
        PoolHog hog(0);  // the teardown's closing waits for a pool thread
        peerA->teardownConnection();
        EXPECT_EQ(peerA->serviceListenerCount(), 0u);
        EXPECT_EQ(peerA->channelKeyCount(), 0u);
        EXPECT_TRUE(peerA->cancelPortForwardForServiceKey("svc-pending"));
        EXPECT_FALSE(peerA->cancelPortForwardForServiceKey("svc-pending"));
        // The select thread lets go of the closed descriptor on its next pass; the teardown's
        // own closing cannot run meanwhile.
        EXPECT_TRUE(waitFor([&] {
            int fd = plainConnect(AF_INET6, port);
            if (fd >= 0) ::close(fd);
            return fd < 0;
        })) << "the listener still accepts";
    }
    EXPECT_TRUE(waitFor([] { return memoryLogContains("Completed peer teardown block"); }));
}

// A tunnel that dies under its forward (the remote went silent; nobody asked for the end) leaves
// the forward listening, and its next client starts a new tunnel at once: the start of the dead
// tunnel, however recent, no longer counts as one under way.
TEST_F(ForwardPeers, AForwardOutlivesATunnelThatDiedAndItsNextClientStartsANewOne) {
    connect(false);
    const uint16_t port = forward(peerA, 9, "svc-kept");
    manager->markStartForRemoteUUID("uuid-of-b");  // the dead tunnel's own start, seconds ago
    peerA->mainChannelLost();
    ASSERT_TRUE(waitFor([&] { return peerA->connectionStatus() == TunnexTunnelDisconnected; }));
    ASSERT_TRUE(waitFor([&] { return manager->peerForUUID("uuid-of-b") == nullptr; }));
    // The teardown has run when its block says so; the listener must still be there after it.
    ASSERT_TRUE(waitFor([] { return memoryLogContains("Completed peer teardown block"); }));
    EXPECT_EQ(peerA->serviceListenerCount(), 1u);

    int client = plainConnect(AF_INET6, port);
    ASSERT_GE(client, 0) << "the forward stopped listening";
    EXPECT_TRUE(waitFor([] { return memoryLogContains("Starting remote service (svc-kept)"); }));
    EXPECT_FALSE(memoryLogContains("has already been initiated"));
    ::close(client);
    EXPECT_TRUE(peerA->cancelPortForwardForServiceKey("svc-kept"));
}

// One direction of a connection stuck (the far server reads nothing, so the client's bulk fills
// every buffer on the way and the channel's send waits for room) must not hold up the other: the
// server's replies still reach the client promptly.
TEST_F(ForwardPeers, RepliesFlowWhileTheOtherDirectionWaitsForRoom) {
    connect(true);
    int port = 0;
    int listener = plainListener(AF_INET, &port);
    const uint16_t local = forward(peerA, uint16_t(port), "svc-stuck");
    int client = plainConnect(AF_INET6, local);
    ASSERT_GE(client, 0);
    int server = plainAccept(listener, 30000);
    ASSERT_GE(server, 0);

    // Fill: write until the client's socket has taken nothing for a second.
    ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
    const Bytes block = randomBytes(1 << 20, 5);
    size_t written = 0;
    for (auto lastProgress = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - lastProgress < std::chrono::seconds(1);) {
        ssize_t n = ::send(client, block.data(), block.size(), MSG_NOSIGNAL);
        if (n > 0) {
            written += size_t(n);
            lastProgress = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_GT(written, size_t(8) << 20) << "the way to the server holds megabytes before it is full";

    // Replies one at a time, each after the last arrived.
    const auto start = std::chrono::steady_clock::now();
    int arrived = 0;
    for (int i = 0; i < 5; ++i) {
        const char reply = char('0' + i);
        ASSERT_EQ(::send(server, &reply, 1, MSG_NOSIGNAL), 1);
        pollfd ready{client, POLLIN, 0};
        char got = 0;
        if (::poll(&ready, 1, 10000) == 1 && ::recv(client, &got, 1, 0) == 1 && got == reply) ++arrived;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(arrived, 5);
    // Stuck behind the waiting send, each reply waited for the send's half-second slices.
    EXPECT_LT(seconds, 1.5) << "five replies took " << seconds << " s";

    ::close(client);
    ::close(server);
    ::close(listener);
    EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }, std::chrono::seconds(30)));
}

// A read's buffer is used again once its send let go of it, never while it is still queued, and a
// buffer that outlives its pool is simply freed (the sanitizer build sees any leak).
TEST(TunnexBufferPool, ReusesABufferOnlyAfterItsLastUserLetGo) {
    auto pool = TunnexBufferPool::create(1);
    const Bytes first = randomBytes(200000, 3), second = randomBytes(1000, 4);
    auto a = pool->copyOf(first);
    auto b = pool->copyOf(second);
    EXPECT_EQ(*a, first);
    EXPECT_EQ(*b, second);
    EXPECT_NE(a->data(), b->data());
    const uint8_t* storage = a->data();
    a.reset();
    b.reset();
    EXPECT_EQ(pool->idleBuffers(), 1u) << "kept: at most one";
    auto c = pool->copyOf(second);
    EXPECT_EQ(c->data(), storage) << "the large buffer is used again, without a new allocation";
    EXPECT_EQ(*c, second);
    pool.reset();
    EXPECT_EQ(*c, second);
}

}  // namespace
}  // namespace kl

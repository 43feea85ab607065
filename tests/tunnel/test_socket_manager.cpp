// The tunnel socket manager's table and poll loop, over real UDT channels on loopback, with a test
// owner in the place of the tunnel peer.
#include <gtest/gtest.h>

#include <udt/udt.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "UdtTestSupport.h"
#include "foundation/KLTLogging.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/channel/TunnexMainChannelListener.h"
#include "tunnel/channel/TunnexSocketManager.h"
#include "tunnel/channel/TunnexUDTPacketFilter.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

// Owns one main channel as the tunnel peer would: reads one message per readable event and takes
// the channel down when asked to disconnect.
class TestPeer : public test::CountingDelegate, public TunnexMainChannelListener {
public:
    explicit TestPeer(std::shared_ptr<TunnexSocketImpl> channel) : channel_(std::move(channel)) {}

    std::shared_ptr<TunnexSocket> mainChannel() const override { return channel_; }
    bool performMainChannelListen() override {
        listens++;
        onLoopThread = std::this_thread::get_id() != testThread;
        if (failReads) return false;
        Error error;
        auto message = channel_->recvNonBlocking(&error);
        std::lock_guard<std::mutex> guard(mutex_);
        if (message) messages.push_back(*message);
        return message.has_value();
    }
    void disconnectFromPeers() override {
        disconnects++;
        channel_->close();
    }
    void mainChannelLost() override {
        losses++;
        channel_->close();
    }
    void probeMainChannel() override {
        probes++;
        channel_->sendMessage(Bytes{0x2a}, 1.0, nullptr);
    }
    size_t messageCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return messages.size();
    }

    std::atomic<int> listens{0}, disconnects{0}, losses{0}, probes{0};
    std::atomic<bool> failReads{false}, onLoopThread{false};
    std::thread::id testThread = std::this_thread::get_id();
    std::vector<Bytes> messages;  // guarded by mutex_

private:
    std::shared_ptr<TunnexSocketImpl> channel_;
    std::mutex mutex_;
};

class SocketManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sk_init();
        ASSERT_TRUE(test::waitFor([&] { return !manager.isPolling(); }, 10s)) << "a previous test left the loop running";
        auto [a, b] = peers.open(TunnexChannelMode::Message);
        ASSERT_GT(a, 0);
        ASSERT_GT(b, 0);
        peerA = makePeer(a);
        peerB = makePeer(b);
        // The connects ran on the loop, which ends one cycle after the last of them.
        ASSERT_TRUE(test::waitFor([&] { return !manager.isPolling(); }, 10s));
    }
    void TearDown() override {
        for (auto& socket : extra) socket->close();
        for (auto& peer : {peerA, peerB}) {
            if (peer) peer->disconnectFromPeers();
        }
        EXPECT_TRUE(test::waitFor([&] { return manager.currentSocketCount() == 0 && !manager.isPolling(); }, 10s));
    }

    std::shared_ptr<TestPeer> makePeer(int udtSocket) {
        auto channel = TunnexSocketImpl::create(udtSocket);
        channel->setBlocking(false);
        auto peer = std::make_shared<TestPeer>(channel);
        channel->setDelegate(peer);
        return peer;
    }
    std::shared_ptr<TunnexSocketImpl> channelOf(const std::shared_ptr<TestPeer>& peer) {
        return std::static_pointer_cast<TunnexSocketImpl>(peer->mainChannel());
    }
    void send(const std::shared_ptr<TestPeer>& from, Bytes message) {
        ASSERT_EQ(from->mainChannel()->sendMessage(message, 10.0, nullptr), message.size());
    }

    TunnexSocketManager& manager = TunnexSocketManager::sharedInstance();
    test::UdpPeers peers;
    std::shared_ptr<TestPeer> peerA, peerB;
    std::vector<std::shared_ptr<TunnexSocketImpl>> extra;
};

TEST_F(SocketManagerTest, LoopStartsOnDemandStopsAfterTheLastRemovalAndRestarts) {
    uint64_t startedBefore = manager.pollLoopsStarted();
    manager.addSocket(channelOf(peerA));
    EXPECT_TRUE(manager.isPolling());
    manager.addSocket(channelOf(peerB));
    EXPECT_EQ(manager.pollLoopsStarted(), startedBefore + 1) << "a second addition starts no second loop";
    EXPECT_EQ(manager.currentSocketCount(), 2u);
    EXPECT_EQ(manager.socketForSocketNumber(channelOf(peerA)->udtSocket()), channelOf(peerA));
    EXPECT_EQ(manager.socketForSocketNumber(0), nullptr);

    // A readable main channel has its owner read the message on the loop's thread.
    send(peerB, {7, 7, 7});
    ASSERT_TRUE(test::waitFor([&] { return peerA->messageCount() == 1; }));
    EXPECT_TRUE(peerA->onLoopThread.load());
    EXPECT_EQ(peerA->messages[0], (Bytes{7, 7, 7}));

    manager.removeSocket(channelOf(peerB));
    EXPECT_EQ(channelOf(peerB)->udtSocket(), 0) << "unregistering clears the socket's number";
    auto removedLast = std::chrono::steady_clock::now();
    manager.removeSocket(channelOf(peerA));
    ASSERT_TRUE(test::waitFor([&] { return !manager.isPolling(); }, 10s));
    auto stopDelay = std::chrono::duration<double>(std::chrono::steady_clock::now() - removedLast).count();
    std::fprintf(stderr, "poll loop ended %.3f s after the last removal\n", stopDelay);
    EXPECT_LT(stopDelay, 1.0);  // nominally one cycle (0.1 s); slack for a loaded machine

    // Registered again under a fresh number, so the next addition starts a new loop.
    auto [a, b] = peers.open(TunnexChannelMode::Message);
    ASSERT_GT(a, 0);
    ASSERT_TRUE(test::waitFor([&] { return !manager.isPolling(); }, 10s));
    startedBefore = manager.pollLoopsStarted();
    auto fresh = TunnexSocketImpl::create(a);
    extra.push_back(fresh);
    extra.push_back(TunnexSocketImpl::create(b));
    manager.addSocket(fresh);
    EXPECT_TRUE(manager.isPolling());
    EXPECT_EQ(manager.pollLoopsStarted(), startedBefore + 1);
}

TEST_F(SocketManagerTest, FailedMainChannelReadDropsTheSocketAndDisconnectsItsPeer) {
    manager.addSocket(channelOf(peerA));
    peerA->failReads = true;
    send(peerB, {1});
    ASSERT_TRUE(test::waitFor([&] { return peerA->closes.load() == 1; }));
    EXPECT_EQ(peerA->disconnects.load(), 1);
    EXPECT_EQ(peerA->losses.load(), 0);
    EXPECT_EQ(manager.currentSocketCount(), 0u);
    EXPECT_TRUE(channelOf(peerA)->isClosed());
}

TEST_F(SocketManagerTest, QuietMainChannelIsProbedAndDroppedOnlyWhenItsRemoteStaysSilent) {
    // Limits well above a loaded sanitizer build's scheduling delays, so that a late acknowledgement
    // of a probe is not taken for silence.
    manager.setLivenessLimits(1.0, 2.5);
    manager.addSocket(channelOf(peerA));
    manager.addSocket(channelOf(peerB));
    // Idle but alive: each side's probe is acknowledged, so neither is dropped.
    std::this_thread::sleep_for(4500ms);
    EXPECT_GT(peerA->probes.load(), 0);
    EXPECT_EQ(peerA->losses.load() + peerB->losses.load() + peerA->disconnects.load() + peerB->disconnects.load(), 0);

    // A hears nobody any more (its descriptor now passes only a stranger's datagrams), as when the
    // remote dies without a word: dropped after the probe went unanswered, long before UDT's own
    // expiry of close to a minute.
    sockaddr_in stranger{};
    stranger.sin_family = AF_INET;
    stranger.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    stranger.sin_port = htons(9);
    ASSERT_TRUE(tunnexGuardUDTSocket(peers.fdA, stranger));
    const auto silenced = std::chrono::steady_clock::now();
    // Taken down as lost (the forwards stay), not as a disconnect someone asked for.
    ASSERT_TRUE(test::waitFor([&] { return peerA->losses.load() == 1; }, 10s));
    const double noticed = std::chrono::duration<double>(std::chrono::steady_clock::now() - silenced).count();
    EXPECT_GE(noticed, 2.5);
    EXPECT_EQ(peerA->disconnects.load(), 0);
    EXPECT_EQ(peerB->losses.load(), 0);
    EXPECT_TRUE(channelOf(peerA)->isClosed());
    manager.setLivenessLimits(3.0, 6.0);
}

TEST_F(SocketManagerTest, SocketClosedBehindTheManagersBackIsPrunedAndTheLoopGoesOn) {
    manager.addSocket(channelOf(peerA));
    manager.addSocket(channelOf(peerB));
    // A socket whose UDT socket someone else has closed: UDT refuses the whole select for its
    // number until the manager prunes it.
    auto [x, y] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(x, 0);
    auto data = TunnexSocketImpl::create(x);
    auto far = TunnexSocketImpl::create(y);
    extra.push_back(data);
    extra.push_back(far);
    auto dataDelegate = std::make_shared<test::CountingDelegate>();
    data->setDelegate(dataDelegate);
    UDT::close(x);
    manager.addSocket(data);

    // Pruned, and closed as of a lost connection.
    ASSERT_TRUE(test::waitFor([&] { return dataDelegate->closes.load() == 1; }));
    EXPECT_EQ(manager.currentSocketCount(), 2u);
    EXPECT_TRUE(memoryLogContains("UDT::select() resulted in error 5004"));
    EXPECT_TRUE(data->isClosed());

    // The loop still serves the other sockets.
    send(peerB, {4, 2});
    ASSERT_TRUE(test::waitFor([&] { return peerA->messageCount() == 1; }));
}

TEST_F(SocketManagerTest, UnbridgedSocketWhoseConnectionIsGoneIsDropped) {
    auto [x, y] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(x, 0);
    auto lonely = TunnexSocketImpl::create(x);
    auto far = TunnexSocketImpl::create(y);
    ASSERT_TRUE(test::carryFirstByte(far, lonely));
    extra.push_back(lonely);
    manager.addSocket(channelOf(peerA));  // keeps the loop going meanwhile
    manager.addSocket(lonely);
    far->close();
    ASSERT_TRUE(test::waitFor([&] { return manager.currentSocketCount() == 1; }, 20s));
    EXPECT_EQ(lonely->udtSocket(), 0);
    EXPECT_EQ(peerA->disconnects.load(), 0);
}

// Channel connects complete on the loop's thread, all at once: no thread of the caller's waits.
// One pair of descriptors per connect, as tunnels to different peers have: a rendezvous answer goes
// to whichever socket on a descriptor connects to that address.
TEST_F(SocketManagerTest, ManyParallelConnectsCompleteOnTheLoopThread) {
    constexpr int kPairs = 40;
    std::vector<test::UdpPeers> tunnels(kPairs);
    std::mutex mutex;
    std::vector<int> opened;
    std::set<std::thread::id> threads;
    int failures = 0;
    auto done = [&](Result<int> result) {
        std::lock_guard<std::mutex> guard(mutex);
        threads.insert(std::this_thread::get_id());
        if (result.ok()) opened.push_back(result.value());
        else failures++;
    };
    const auto started = std::chrono::steady_clock::now();
    for (const auto& tunnel : tunnels) {
        openUDTChannelAsync(tunnel.fdA, tunnel.addressB, TunnexChannelMode::Stream, done);
        openUDTChannelAsync(tunnel.fdB, tunnel.addressA, TunnexChannelMode::Stream, done);
    }
    EXPECT_GT(manager.pendingConnectCount(), 0u);
    ASSERT_TRUE(test::waitFor(
        [&] {
            std::lock_guard<std::mutex> guard(mutex);
            return int(opened.size()) + failures == 2 * kPairs;
        },
        60s));
    std::fprintf(stderr, "%d channel pairs connected in %.3f s\n", kPairs,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(threads.size(), 1u) << "every completion comes from the loop's one thread";
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(manager.pendingConnectCount(), 0u);
    for (int u : opened) EXPECT_EQ(UDT::getsockstate(u), CONNECTED);
    for (int u : opened) extra.push_back(TunnexSocketImpl::create(u));
}

// A connect nobody answers fails at its deadline, and the loop then ends.
TEST_F(SocketManagerTest, UnansweredConnectFailsAtItsDeadline) {
    sockaddr_storage silent{};
    int silentFd = test::UdpPeers::boundUdp(&silent);
    std::promise<Result<int>> outcome;
    const auto started = std::chrono::steady_clock::now();
    openUDTChannelAsync(peers.fdA, silent, TunnexChannelMode::Stream,
                        [&](Result<int> result) { outcome.set_value(std::move(result)); }, 300ms);
    auto future = outcome.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    Result<int> result = future.get();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code(), 1001);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_TRUE(test::waitFor([&] { return !manager.isPolling(); }, 10s));
    ::close(silentFd);
}

}  // namespace
}  // namespace kl

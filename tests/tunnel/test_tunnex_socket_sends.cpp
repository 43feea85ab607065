// Sends that cannot go out now (a full UDT window, a send hold, a main-channel message without
// room) wait in the socket, not on a pool thread: with every pool thread but one held busy, other
// work still runs, and the bytes still arrive complete and in order once the remote reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "UdtTestSupport.h"
#include "support/TestEnvironment.h"
#include "tunnel/channel/TunnexSocketManager.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using namespace kl::test;

// Keeps all but one of the global pool's threads busy until released (or destroyed).
class PoolHog {
public:
    PoolHog() {
        const unsigned busy = globalQueue().threadCount() - 1;
        std::shared_future<void> released = release_.get_future().share();
        for (unsigned i = 0; i < busy; ++i) {
            globalQueue().async([this, released] {
                started_++;
                released.wait();
            });
        }
        EXPECT_TRUE(waitFor([&] { return started_.load() == busy; }));
    }
    ~PoolHog() { free(); }
    void free() {
        if (!freed_.exchange(true)) release_.set_value();
    }

private:
    std::promise<void> release_;
    std::atomic<unsigned> started_{0};
    std::atomic<bool> freed_{false};
};

// True when a job posted to the pool now runs within the wait.
bool poolRunsOtherWork() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    globalQueue().async([ran] { ran->store(true); });
    return waitFor([&] { return ran->load(); });
}

Bytes receiveAll(const std::shared_ptr<TunnexSocketImpl>& receiver, size_t length) {
    Bytes got;
    got.reserve(length);
    while (got.size() < length) {
        auto chunk = receiver->recvBytes(1u << 20, 10.0, nullptr);
        if (!chunk) break;
        got.insert(got.end(), chunk->begin(), chunk->end());
    }
    return got;
}

// Queues one send operation per piece, as the forward's record does per local read.
void queuePieces(const std::shared_ptr<TunnexSocketImpl>& sender, const Bytes& data, size_t piece) {
    for (size_t offset = 0; offset < data.size(); offset += piece) {
        std::weak_ptr<TunnexSocketImpl> weak = sender;
        std::span<const uint8_t> bytes = std::span<const uint8_t>(data).subspan(offset, std::min(piece, data.size() - offset));
        sender->sendOperationQueue().addOperation([weak, bytes] {
            if (auto socket = weak.lock()) socket->sendBytes(bytes);
        });
    }
}

struct Pair {
    std::shared_ptr<TunnexSocketImpl> sender, receiver;
};

class TunnexSocketSends : public testing::Test {
protected:
    void SetUp() override { TunnexPeer::initialize(); }
    void TearDown() override {
        for (auto& pair : pairs_) {
            pair.sender->close();
            pair.receiver->close();
        }
        EXPECT_TRUE(waitFor([] { return TunnexSocketManager::sharedInstance().watchedSendCount() == 0; }));
    }

    // A connected pair; a stream pair has carried one byte unless told not to.
    Pair open(TunnexChannelMode mode, bool carryOne = true) {
        auto [a, b] = udp_.open(mode);
        EXPECT_GT(a, 0);
        EXPECT_GT(b, 0);
        Pair pair{TunnexSocketImpl::create(a), TunnexSocketImpl::create(b)};
        pair.sender->setDelegate(delegate_);
        pair.receiver->setDelegate(delegate_);
        pairs_.push_back(pair);
        if (mode == TunnexChannelMode::Stream && carryOne) {
            EXPECT_TRUE(carryFirstByte(pair.sender, pair.receiver));
        }
        return pair;
    }

    UdpPeers udp_;
    std::shared_ptr<CountingDelegate> delegate_ = std::make_shared<CountingDelegate>();
    std::vector<Pair> pairs_;
};

TEST_F(TunnexSocketSends, FullWindowsHoldNoPoolThreadAndEveryByteArrivesInOrder) {
    constexpr size_t kChannels = 3;
    constexpr size_t kPiece = 1u << 20;
    // More than UDT's send and receive buffers hold together.
    constexpr size_t kVolume = 40u << 20;
    Bytes data(kVolume);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(streamByte(i));
    std::vector<Pair> channels;
    for (size_t i = 0; i < kChannels; ++i) channels.push_back(open(TunnexChannelMode::Stream));

    PoolHog hog;
    for (const Pair& channel : channels) queuePieces(channel.sender, data, kPiece);
    // Every window fills while the receivers read nothing: the writes behind wait on their queues,
    // and the one free pool thread stays free.
    for (const Pair& channel : channels) {
        EXPECT_TRUE(waitFor([&] { return channel.sender->dataWaiting(); })) << "the window never filled";
        EXPECT_GT(channel.sender->sendOperationQueue().operationCount(), 0u);
    }
    EXPECT_TRUE(poolRunsOtherWork()) << "a waiting send holds the pool's last free thread";

    for (const Pair& channel : channels) {
        Bytes got = receiveAll(channel.receiver, data.size());
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "bytes lost or out of order";
    }
    hog.free();
    for (const Pair& channel : channels) {
        EXPECT_TRUE(waitFor([&] { return channel.sender->sendOperationQueue().operationCount() == 0; }));
        EXPECT_FALSE(channel.sender->sendErrorFlag());
        EXPECT_FALSE(channel.sender->dataWaiting());
    }
}

// The orderly end waits for the bytes that wait in the socket; a plain close drops them and
// leaves no operation (nor a waiter on one) stuck behind the suspended queue.
TEST_F(TunnexSocketSends, AnOrderlyEndDeliversWhatWaitsAndAPlainCloseReleasesTheQueue) {
    Bytes data(40u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(streamByte(i * 7));

    Pair orderly = open(TunnexChannelMode::Stream);
    queuePieces(orderly.sender, data, 256u << 10);
    ASSERT_TRUE(waitFor([&] { return orderly.sender->dataWaiting(); }));
    orderly.sender->closeWhenSent();
    EXPECT_FALSE(orderly.sender->isClosed()) << "closed with bytes still waiting";
    Bytes got = receiveAll(orderly.receiver, data.size());
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    EXPECT_TRUE(waitFor([&] { return orderly.sender->isClosed(); }));

    Pair dropped = open(TunnexChannelMode::Stream);
    queuePieces(dropped.sender, data, 256u << 10);
    ASSERT_TRUE(waitFor([&] { return dropped.sender->dataWaiting(); }));
    dropped.sender->close();
    auto later = std::async(std::launch::async, [&] {
        bool sent = true;
        const bool ran = dropped.sender->sendOperationQueue().addOperationAndWait(
            [&] { sent = dropped.sender->sendBytes(asBytes("after the close")); });
        return ran && !sent;
    });
    ASSERT_EQ(later.wait_for(10s), std::future_status::ready) << "an operation added after the close never ran";
    EXPECT_TRUE(later.get());
}

// A held channel keeps its bytes until its remote is heard or the hold ends, without a thread.
TEST_F(TunnexSocketSends, HeldSendsGoOutWhenTheRemoteIsHeardOrTheHoldEnds) {
    struct Case {
        const char* name;
        std::chrono::milliseconds hold;
        bool remoteSpeaks;
    };
    for (const Case& c : {Case{"remote heard", 60s, true}, Case{"hold ends", 1500ms, false}}) {
        SCOPED_TRACE(c.name);
        // No traffic yet: nothing of the remote has been heard.
        Pair pair = open(TunnexChannelMode::Stream, false);
        auto sender = pair.sender;
        auto receiver = pair.receiver;
        ASSERT_FALSE(sender->remoteComplete());

        const auto start = std::chrono::steady_clock::now();
        sender->holdSendsUntil(start + c.hold);
        const std::string text = "held until the remote is known";
        PoolHog hog;
        sender->sendOperationQueue().addOperation([sender, text] { sender->sendBytes(asBytes(text)); });
        EXPECT_TRUE(waitFor([&] { return sender->dataWaiting(); }));
        EXPECT_TRUE(poolRunsOtherWork());
        Error error;
        EXPECT_FALSE(receiver->recvBytes(64, 0.3, &error)) << "sent during the hold";
        if (c.remoteSpeaks) {
            static const uint8_t byte = 1;
            receiver->sendOperationQueue().addOperation([receiver] { receiver->sendBytes({&byte, 1}); });
        }
        auto got = receiver->recvBytes(64, 10.0, nullptr);
        const auto waited = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(got);
        EXPECT_EQ(std::string(got->begin(), got->end()), text);
        if (c.remoteSpeaks) {
            EXPECT_LT(waited, c.hold);
        } else {
            EXPECT_GE(waited, c.hold);
        }
    }
}

// A life check's message to a remote that takes nothing more: it waits in the channel, no thread
// waits with it, and it fails once its limit passes (not before).
TEST_F(TunnexSocketSends, MessageWithoutRoomFailsAtItsLimitWithoutAThread) {
    Pair pair = open(TunnexChannelMode::Message);
    // The receiver reads nothing: fill what UDT buffers on both ends.
    // UDT takes a message when it has room for all of it: large ones first, then single bytes,
    // until a pause has made no more room (the sender's buffer drains into the receiver's).
    int sent = 0;
    for (int round = 0, taken = 1; taken > 0 && round < 50; ++round) {
        taken = 0;
        for (size_t size : {size_t(64 * 1024), size_t(1)}) {
            const Bytes filler(size, 0x33);
            while (taken < 20000 && pair.sender->sendMessage(filler, 0.0, nullptr) == filler.size()) ++taken;
        }
        sent += taken;
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_GT(sent, 0);
    ASSERT_EQ(pair.sender->sendMessage(Bytes{uint8_t(12)}, 0.0, nullptr), 0u) << "the window never filled";

    constexpr double kLimit = 2.0;
    constexpr int kChecks = 3;
    PoolHog hog;
    std::atomic<int> failed{0}, succeeded{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::chrono::steady_clock::duration> took(kChecks);
    for (int i = 0; i < kChecks; ++i) {
        pair.sender->sendMessageWithin(Bytes{uint8_t(12)}, kLimit, [&, i](bool ok) {
            took[i] = std::chrono::steady_clock::now() - start;
            (ok ? succeeded : failed)++;
        });
    }
    EXPECT_TRUE(poolRunsOtherWork()) << "a waiting message holds the pool's last free thread";
    EXPECT_EQ(failed.load() + succeeded.load(), 0) << "given up before its limit";
    EXPECT_TRUE(waitFor([&] { return failed.load() + succeeded.load() == kChecks; }, 20s));
    EXPECT_EQ(failed.load(), kChecks);
    for (auto duration : took) EXPECT_GE(duration, std::chrono::duration<double>(kLimit));

    // A message that fits goes out at once.
    Pair live = open(TunnexChannelMode::Message);
    std::promise<bool> outcome;
    live.sender->sendMessageWithin(Bytes{uint8_t(12)}, kLimit, [&](bool ok) { outcome.set_value(ok); });
    EXPECT_TRUE(outcome.get_future().get());
    auto message = live.receiver->recvMessage(10.0, nullptr);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, Bytes{uint8_t(12)});
}

}  // namespace
}  // namespace kl

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Executors.h"
#include "platform/Signal.h"
#include "support/TestEnvironment.h"

using namespace kl;
using namespace std::chrono_literals;

TEST(MainLoop, RunsPostedWorkInOrderOnItsThread) {
    MainLoop loop;
    std::vector<int> order;
    std::thread::id runner;
    for (int i = 0; i < 100; ++i) loop.post([&, i] { order.push_back(i); runner = std::this_thread::get_id(); });
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 5s));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(runner, std::this_thread::get_id());
}

TEST(MainLoop, AfterAndEveryHonourCancel) {
    MainLoop loop;
    int fired = 0, cancelledFired = 0, ticks = 0;
    loop.after(20ms, [&] { ++fired; });
    auto h = loop.after(20ms, [&] { ++cancelledFired; });
    h.cancel();
    CancelHandle repeat;
    repeat = loop.every(5ms, [&] {
        if (++ticks == 3) repeat.cancel();
    });
    loop.runUntil([] { return false; }, 150ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelledFired, 0);
    EXPECT_EQ(ticks, 3);
}

TEST(MainLoop, RunStopsFromAnotherThreadAndPostsFromManyThreads) {
    MainLoop loop;
    std::atomic<int> count{0};
    std::vector<std::jthread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i) loop.post([&] { ++count; });
        });
    std::jthread stopper([&] {
        while (count.load() < 1000) std::this_thread::sleep_for(1ms);
        loop.stop();
    });
    loop.run();
    EXPECT_EQ(count.load(), 1000);
}

TEST(SerialQueue, KeepsOrderNeverOverlapsAndSyncIsReentrant) {
    SerialQueue q("test");
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i)
        q.async([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            inside.fetch_sub(1);
        });
    bool nested = false;
    q.sync([&] {
        EXPECT_TRUE(q.isCurrent());
        q.sync([&] { nested = true; });  // runs inline instead of waiting for itself
    });
    EXPECT_TRUE(nested);
    EXPECT_FALSE(q.isCurrent());
    ASSERT_EQ(order.size(), 200u);  // sync ran after everything queued before it
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

// The pool has its default size, and work queued while all but one of its threads are held still
// runs on the one left (nothing posted to the pool may hold the rest for long).
TEST(GlobalQueue, HasTheDefaultSizeAndRunsWorkOnTheLastFreeThread) {
    if (!std::getenv("KL_GLOBAL_POOL_THREADS")) {
        EXPECT_EQ(globalQueue().threadCount(), defaultGlobalPoolThreads());
    }
    const int held = int(globalQueue().threadCount()) - 1;
    std::atomic<bool> release{false};
    std::atomic<int> blocked{0};
    for (int i = 0; i < held; ++i)
        globalQueue().async([&] {
            ++blocked;
            while (!release) std::this_thread::sleep_for(1ms);
            --blocked;
        });
    EXPECT_TRUE(test::waitFor([&] { return blocked.load() == held; }, 5s));
    std::atomic<bool> ran{false};
    globalQueue().async([&] { ran = true; });
    EXPECT_TRUE(test::waitFor([&] { return ran.load(); }, 5s));
    release = true;
    EXPECT_TRUE(test::waitFor([&] { return blocked.load() == 0; }, 5s));
}

TEST(Signal, CallsEverySlotAndAllowsDisconnectFromASlot) {
    Signal<int> s;
    std::vector<int> got;
    Signal<int>::Id second = 0;
    s.connect([&](int v) {
        got.push_back(v);
        s.disconnect(second);
    });
    second = s.connect([&](int v) { got.push_back(v * 10); });
    s.emit(1);  // the second slot was taken before the emit: it still runs this time
    s.emit(2);
    EXPECT_EQ(got, (std::vector<int>{1, 10, 2}));
}

TEST(GlobalQueue, ShutdownLetsRunningWorkFinishDropsTheRestAndJoins) {
    // Pools of its own, never destroyed (held by statics): the last case leaves a thread running.
    static auto* queue = new GlobalQueue();
    std::atomic<bool> started{false}, finished{false}, queued{false};
    queue->async([&] {
        started = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    ASSERT_TRUE(test::waitFor([&] { return started.load(); }, 5s));
    for (unsigned i = 0; i < 4 * queue->threadCount(); ++i) queue->async([&] { std::this_thread::sleep_for(50ms); });
    queue->async([&] { queued = true; });
    EXPECT_TRUE(queue->shutdown(5s));
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(queued.load());

    static auto* stuck = new GlobalQueue();
    static std::atomic<bool> release{false};  // read by the stuck work after the test returns
    stuck->async([] {
        while (!release) std::this_thread::sleep_for(5ms);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(stuck->shutdown(100ms));
    release = true;
}

// KL_GLOBAL_POOL_THREADS sizes a pool made after it is set (tests run with small pools through it);
// anything but a whole number in range leaves the default size.
TEST(GlobalQueue, PoolSizeComesFromTheEnvironmentWhenItIsAThreadCount) {
    const unsigned standard = defaultGlobalPoolThreads();
    const struct {
        const char* value;
        unsigned threads;
    } cases[] = {
        {"2", 2}, {"1", 1}, {"256", 256}, {"0", standard}, {"257", standard}, {"-3", standard},
        {"3x", standard}, {"", standard}, {"99999999999999999999", standard},
    };
    const char* saved = std::getenv("KL_GLOBAL_POOL_THREADS");
    const std::string previous = saved ? saved : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ::setenv("KL_GLOBAL_POOL_THREADS", c.value, 1);
        GlobalQueue queue;
        EXPECT_EQ(queue.threadCount(), c.threads);
        std::atomic<bool> ran{false};
        queue.async([&] { ran = true; });
        EXPECT_TRUE(test::waitFor([&] { return ran.load(); }, 5s));
        EXPECT_TRUE(queue.shutdown(5s));
    }
    if (saved) ::setenv("KL_GLOBAL_POOL_THREADS", previous.c_str(), 1);
    else ::unsetenv("KL_GLOBAL_POOL_THREADS");
}

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "foundation/KLTQueue.h"
#include "foundation/KLTTimer.h"
#include "support/TestEnvironment.h"

using namespace kl;
using namespace std::chrono_literals;

TEST(KLTQueue, CapacityEdgeCases) {
    EXPECT_EQ(KLTQueue<int>::initWithCount(0), nullptr);

    auto q = KLTQueue<int>::initWithCount(3);
    for (int i = 1; i <= 4; ++i) q->pushObject(i);
    EXPECT_EQ(q->queueArray(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(q->count(), 3u);

    q->setCapacity(1);  // takes effect at the next push
    EXPECT_EQ(q->count(), 3u);
    q->pushObject(5);
    EXPECT_EQ(q->queueArray(), (std::vector<int>{5}));

    auto one = KLTQueue<int>::initWithCount(1);
    one->pushObject(7);
    one->pushObject(8);
    EXPECT_EQ(one->queueArray(), (std::vector<int>{8}));
}

TEST(KLTQueue, NullObjectsAreIgnoredAndPushesFromManyThreadsStayBounded) {
    auto q = KLTQueue<std::shared_ptr<int>>::initWithCount(50);
    q->pushObject(nullptr);
    EXPECT_EQ(q->count(), 0u);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) q->pushObject(std::make_shared<int>(i));
        });
    threads.clear();
    EXPECT_EQ(q->count(), 50u);
}

TEST(KLTTimer, TicksAtItsIntervalAndTwoStartsGiveOneStream) {
    std::atomic<int> ticks{0};
    KLTTimer timer(0.05, [&] { ++ticks; });
    auto start = std::chrono::steady_clock::now();
    timer.startIfNeeded();
    timer.startIfNeeded();
    ASSERT_TRUE(test::waitFor([&] { return ticks.load() >= 1; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);  // first tick one interval after start
    std::this_thread::sleep_for(260ms);
    timer.cancelIfNeeded();
    int n = ticks.load();
    // One stream of about six ticks in 310 ms; two streams would give about twelve.
    EXPECT_GE(n, 3);
    EXPECT_LE(n, 8);
}

TEST(KLTTimer, NoTickAfterCancelAndNoStartWithoutBlock) {
    std::atomic<int> ticks{0};
    KLTTimer timer(0.01, [&] { ++ticks; });
    timer.cancelIfNeeded();  // never started: nothing happens
    timer.startIfNeeded();
    ASSERT_TRUE(test::waitFor([&] { return ticks.load() >= 2; }, 5s));
    timer.cancelIfNeeded();
    int after = ticks.load();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(ticks.load(), after);

    KLTTimer empty(0.01, nullptr);
    empty.startIfNeeded();
    EXPECT_FALSE(empty.isRunning());
}

TEST(KLTTimer, TicksNeverOverlapAndDestroyingMidTickIsSafe) {
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    auto timer = std::make_unique<KLTTimer>(0.001, [&] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        entered = true;
        std::this_thread::sleep_for(30ms);  // far longer than the interval
        inside.fetch_sub(1);
        finished = true;
    });
    timer->startIfNeeded();
    ASSERT_TRUE(test::waitFor([&] { return entered.load(); }, 5s));
    timer.reset();  // waits for the tick in progress
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(inside.load(), 0);
}

TEST(KLTTimer, BlockMayCancelItsOwnTimer) {
    std::atomic<int> ticks{0};
    KLTTimer* self = nullptr;
    KLTTimer timer(0.005, [&] {
        if (++ticks == 2) self->cancelIfNeeded();
    });
    self = &timer;
    timer.startIfNeeded();
    ASSERT_TRUE(test::waitFor([&] { return ticks.load() >= 2; }, 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ticks.load(), 2);
}

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <thread>
#include <vector>

#include "controlapp/QtMainLoop.h"

using namespace std::chrono_literals;

namespace kl {
namespace {

TEST(QtMainLoop, IsTheInstalledMainLoopAndRefusesAnother) {
    EXPECT_NE(dynamic_cast<QtMainLoop*>(&mainLoop()), nullptr);
    EXPECT_TRUE(mainLoop().isCurrentThread());
    EXPECT_FALSE(installMainLoop(std::make_unique<MainLoop>()));
    EXPECT_NE(dynamic_cast<QtMainLoop*>(&mainLoop()), nullptr);
}

TEST(QtMainLoop, PostsFromManyThreadsRunInOrderOnTheGuiThread) {
    QtMainLoop loop;
    constexpr int kThreads = 8, kPosts = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offThread{0};
    int done = 0;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPosts; ++i)
                    loop.post([&, t, i] {
                        if (!loop.isCurrentThread()) ++offThread;
                        seen[t].push_back(i);
                        ++done;
                    });
            });
    }
    ASSERT_TRUE(loop.runUntil([&] { return done == kThreads * kPosts; }, 10s));
    EXPECT_EQ(offThread.load(), 0);
    for (const auto& order : seen) {
        ASSERT_EQ(order.size(), size_t(kPosts));
        for (int i = 0; i < kPosts; ++i) EXPECT_EQ(order[i], i);
    }
}

TEST(QtMainLoop, ATaskDeliveredStraightFromQtsQueueSeesWhatItsPosterDid) {
    QtMainLoop loop;
    int value = 0;
    bool ran = false;
    // A relaxed flag orders nothing, and delivering posted events directly skips the event
    // dispatcher's wake-up: only the loop itself can order the post before the run.
    std::atomic<bool> posted{false};
    std::jthread poster([&] {
        value = 42;
        loop.post([&] { ran = value == 42; });
        posted.store(true, std::memory_order_relaxed);
    });
    while (!posted.load(std::memory_order_relaxed)) std::this_thread::yield();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(ran);
}

TEST(QtMainLoop, CancelledTimersNeverRun) {
    QtMainLoop loop;
    bool cancelledRan = false, keptRan = false;
    auto cancelled = loop.after(20ms, [&] { cancelledRan = true; });
    loop.after(40ms, [&] { keptRan = true; });
    cancelled.cancel();
    EXPECT_TRUE(loop.runUntil([&] { return keptRan; }, 5s));
    EXPECT_FALSE(cancelledRan);

    // A repeating timer cancelled from its own tick stops there.
    int ticks = 0;
    CancelHandle every;
    every = loop.every(5ms, [&] {
        if (++ticks == 3) every.cancel();
    });
    loop.runUntil([] { return false; }, 150ms);
    EXPECT_EQ(ticks, 3);
}

TEST(QtMainLoop, RunUntilNestsAndHonoursItsTimeout) {
    QtMainLoop loop;
    bool inner = false, outer = false;
    loop.post([&] {
        // A nested wait inside a handler still runs work posted meanwhile.
        loop.post([&] { inner = true; });
        EXPECT_TRUE(loop.runUntil([&] { return inner; }, 5s));
        outer = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return outer; }, 5s));

    auto start = Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
    EXPECT_GE(Clock::now() - start, 50ms);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(QtMainLoop, RunEndsOnStopFromAnotherThread) {
    QtMainLoop loop;
    bool ran = false;
    loop.post([&] { ran = true; });
    std::jthread stopper([&] {
        std::this_thread::sleep_for(30ms);
        loop.stop();
    });
    loop.run();
    EXPECT_TRUE(ran);
}

TEST(QtMainLoop, PostsAfterTheLoopIsGoneAreDropped) {
    bool ran = false;
    {
        QtMainLoop loop;
        loop.post([&] { ran = true; });  // queued, never started
    }
    mainLoop().runUntil([] { return false; }, 30ms);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace kl

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/WorkerThread.h"
#include "support/TestEnvironment.h"

using namespace kl;
using namespace std::chrono_literals;

// Jobs run in order, one at a time, on one thread that is not the caller's.
TEST(WorkerThread, RunsJobsInOrderOnItsOwnThread) {
    WorkerThread worker("test");
    std::vector<int> order;
    std::atomic<int> inside{0}, overlaps{0};
    std::set<std::thread::id> threads;
    std::atomic<bool> onWorker{true};
    for (int i = 0; i < 50; ++i) {
        worker.post([&, i] {
            if (++inside > 1) ++overlaps;
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            if (!worker.isCurrent()) onWorker = false;
            --inside;
        });
    }
    ASSERT_TRUE(test::waitFor([&] { return worker.pendingCount() == 0; }, 5s));
    EXPECT_EQ(order.size(), 50u);
    for (int i = 0; i < int(order.size()); ++i) EXPECT_EQ(order[size_t(i)], i);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_TRUE(onWorker.load());
    EXPECT_FALSE(worker.isCurrent());
}

// Destroying the worker lets the running job finish, drops the jobs behind it and joins; a worker
// destroyed from inside its own job (which held the last reference) does not wait for itself.
TEST(WorkerThread, DestructionFinishesTheRunningJobDropsTheRestAndMayHappenInsideAJob) {
    std::atomic<bool> finished{false}, dropped{false};
    {
        std::promise<void> started;
        WorkerThread worker;
        worker.post([&] {
            started.set_value();
            std::this_thread::sleep_for(100ms);
            finished = true;
        });
        worker.post([&] { dropped = true; });
        started.get_future().wait();
    }
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(dropped.load());

    auto owner = std::make_shared<WorkerThread>();
    std::promise<void> done;
    auto ended = done.get_future();
    owner->post([&owner, &done] {
        owner.reset();  // the last reference: the worker goes from inside its job
        done.set_value();
    });
    EXPECT_EQ(ended.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(owner, nullptr);
}

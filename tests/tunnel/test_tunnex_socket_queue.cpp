// The serial operation queue of a tunnel socket's sends and bridge passes.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/TestEnvironment.h"
#include "tunnel/peer/TunnexOperationQueue.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

TEST(TunnexOperationQueue, RunsOperationsOneAtATimeInOrder) {
    TunnexOperationQueue queue("order");
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, overlap{0};
    for (int i = 0; i < 50; ++i) {
        queue.addOperation([&, i] {
            if (running.fetch_add(1) != 0) overlap++;
            std::lock_guard<std::mutex> guard(mutex);
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(overlap.load(), 0);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[size_t(i)], i);
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(TunnexOperationQueue, CancelledOperationReleasesItsWaiter) {
    TunnexOperationQueue queue("cancel");
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    queue.addOperation([gate] { gate.wait(); });  // occupies the queue

    std::atomic<bool> ran{false};
    auto waiter = std::async(std::launch::async, [&] { return queue.addOperationAndWait([&] { ran = true; }); });
    ASSERT_TRUE(test::waitFor([&] { return queue.operationCount() == 2; }));
    queue.cancelAllOperations();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    release.set_value();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(ran.load());
}

TEST(TunnexOperationQueue, WaitingFromInsideAnOperationDoesNotDeadlock) {
    TunnexOperationQueue queue("inline");
    std::atomic<bool> innerRan{false}, current{false};
    bool outer = queue.addOperationAndWait([&] {
        current = queue.isCurrent();
        queue.addOperationAndWait([&] { innerRan = true; });
        queue.waitUntilAllOperationsAreFinished();
    });
    EXPECT_TRUE(outer);
    EXPECT_TRUE(innerRan.load());
    EXPECT_TRUE(current.load());
    EXPECT_FALSE(queue.isCurrent());
}

TEST(TunnexOperationQueue, OwnerMayGoAwayFromInsideItsOwnOperation) {
    auto queue = std::make_shared<TunnexOperationQueue>("owner");
    std::promise<void> done;
    auto finished = done.get_future();
    auto* raw = queue.get();
    raw->addOperation([queue = std::move(queue), &done]() mutable {
        queue.reset();  // the last reference: the queue is destroyed while its drain runs
        done.set_value();
    });
    EXPECT_EQ(finished.wait_for(10s), std::future_status::ready);
}

// An operation that suspends the queue keeps what waits behind it, counted, until a resume; the
// resume's own first operation runs before them, and the order holds.
TEST(TunnexOperationQueue, SuspendedQueueKeepsWhatWaitsUntilResumedWithItsFirstOperationFirst) {
    TunnexOperationQueue queue("suspend");
    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int i) {
        std::lock_guard<std::mutex> guard(mutex);
        order.push_back(i);
    };
    queue.addOperation([&] {
        record(1);
        queue.suspend();
    });
    queue.addOperation([&] { record(3); });
    queue.addOperation([&] { record(4); });
    ASSERT_TRUE(test::waitFor([&] { return queue.isSuspended() && queue.operationCount() == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(queue.operationCount(), 2u) << "a waiting operation ran while suspended";
    // Nothing runs inline on a busy or suspended queue.
    bool ranInline = false;
    EXPECT_FALSE(queue.runNowIfIdle([&] { ranInline = true; }));
    EXPECT_FALSE(ranInline);

    queue.resume([&] { record(2); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_FALSE(queue.isSuspended());
}

// On an idle queue a task runs at once on the caller's thread, as one of the queue's operations;
// what is added meanwhile runs after it.
TEST(TunnexOperationQueue, IdleQueueRunsATaskInlineAndWhatWasAddedMeanwhileAfterIt) {
    TunnexOperationQueue queue("inline");
    std::vector<int> order;  // written by one operation at a time
    bool current = false;
    const auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    EXPECT_TRUE(queue.runNowIfIdle([&] {
        current = queue.isCurrent();
        ranOn = std::this_thread::get_id();
        queue.addOperation([&] { order.push_back(2); });
        std::this_thread::sleep_for(20ms);  // the added operation must not start meanwhile
        order.push_back(1);
    }));
    EXPECT_TRUE(current);
    EXPECT_EQ(ranOn, caller);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace kl

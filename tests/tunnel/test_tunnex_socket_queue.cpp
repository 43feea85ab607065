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

}  // namespace
}  // namespace kl

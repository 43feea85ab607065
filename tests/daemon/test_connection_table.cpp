// The table of registered control apps, with stand-in objects for connections (sending to an
// object that is not a connection does nothing, so only the bookkeeping is under test here).
#include <gtest/gtest.h>

#include <thread>

#include "daemon/PWControlAppConnections.h"

namespace kl {
namespace {

struct Objects {
    explicit Objects(size_t n) {
        for (size_t i = 0; i < n; ++i) items.push_back(klipc_dictionary_create());
    }
    ~Objects() {
        for (auto* o : items) klipc_release(o);
    }
    std::vector<klipc_object_t> items;
};

TEST(ControlAppConnectionTable, FillsUpTo128AndCountsEveryLiveConnection) {
    PWControlAppConnectionTable table;
    Objects c(130);
    for (size_t i = 0; i < 129; ++i) table.connectionAccepted(c.items[i]);
    EXPECT_EQ(table.fillCount(), 128u);
    EXPECT_EQ(table.liveCount(), 129u);
    EXPECT_FALSE(table.isRegistered(c.items[128]));

    // The 129th leaving frees nothing in the table; a registered one leaving frees a slot that the
    // next new connection takes, not the one already beyond the table.
    EXPECT_EQ(table.connectionInvalidated(c.items[128]), 128u);
    EXPECT_EQ(table.fillCount(), 128u);
    EXPECT_EQ(table.connectionInvalidated(c.items[5]), 127u);
    EXPECT_EQ(table.fillCount(), 127u);
    EXPECT_TRUE(table.connectionAccepted(c.items[129]));
    EXPECT_TRUE(table.isRegistered(c.items[129]));
}

TEST(ControlAppConnectionTable, RemovalKeepsOrderAndTheLiveCountNeverGoesBelowZero) {
    PWControlAppConnectionTable table;
    Objects c(4);
    for (size_t i = 0; i < 3; ++i) table.connectionAccepted(c.items[i]);
    EXPECT_EQ(table.connectionInvalidated(c.items[1]), 2u);
    EXPECT_EQ(table.fillCount(), 2u);
    EXPECT_TRUE(table.isRegistered(c.items[0]));
    EXPECT_TRUE(table.isRegistered(c.items[2]));

    // Not in the table: the table stays, the live count still drops.
    EXPECT_EQ(table.connectionInvalidated(c.items[3]), 1u);
    EXPECT_EQ(table.fillCount(), 2u);
    EXPECT_EQ(table.connectionInvalidated(c.items[0]), 0u);
    EXPECT_EQ(table.connectionInvalidated(c.items[2]), std::nullopt) << "an invalid event at 0 reports nothing";
    EXPECT_EQ(table.liveCount(), 0u);
    EXPECT_EQ(table.fillCount(), 0u);
}

// Broadcasts from pool threads while the main loop adds and removes entries (run under tsan).
TEST(ControlAppConnectionTable, BroadcastsFromOtherThreadsWhileEntriesComeAndGo) {
    PWControlAppConnectionTable table;
    Objects c(64);
    klipc_object_t message = klipc_dictionary_create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t)
        senders.emplace_back([&] {
            while (!stop) table.broadcast(message, nullptr);
        });
    for (int round = 0; round < 200; ++round) {
        for (auto* o : c.items) table.connectionAccepted(o);
        for (auto* o : c.items) table.connectionInvalidated(o);
    }
    stop = true;
    for (auto& t : senders) t.join();
    klipc_release(message);
    EXPECT_EQ(table.fillCount(), 0u);
    EXPECT_EQ(table.liveCount(), 0u);
}

}  // namespace
}  // namespace kl

// Whose a data channel is and when a side may announce, connect and send, on a fake clock.
#include <gtest/gtest.h>

#include "tunnel/protocol/TunnexChannelPairing.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Pairing = TunnexChannelPairing;

const Pairing::TimePoint t0 = Pairing::TimePoint{} + 1000s;

TEST(ChannelPairing, AConnectionGoesToTheSmallestHashKnownWhenItIsDecided) {
    struct Case {
        const char* name;
        bool requesting;
        uint32_t own;
        std::vector<uint32_t> remoteBefore;  // announced before the connection completed
        std::vector<uint32_t> remoteSettling;  // read while settling
        uint32_t owner;
        bool settles;
    };
    const std::vector<Case> cases = {
        {"a requester alone keeps its connection, after settling", true, 7, {}, {}, 7, true},
        {"a crossing request read while settling with a smaller hash takes it", true, 7, {}, {3}, 3, true},
        {"a crossing request with a larger hash leaves it to the requester", true, 7, {}, {9}, 7, true},
        {"a remote hash known at completion decides at once", true, 7, {3}, {}, 3, false},
        {"an answerer decides at once for the hash it answers", false, 5, {5}, {}, 5, false},
        {"an answerer whose remote also waits on a smaller hash gives it that one", false, 5, {2, 5}, {}, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pairing pairing;
        for (uint32_t hash : c.remoteBefore) pairing.remoteAnnounced(hash);
        const auto decideAt = pairing.connected(c.own, c.requesting, t0);
        EXPECT_EQ(decideAt > t0, c.settles);
        if (c.settles) {
            EXPECT_EQ(decideAt, t0 + Pairing::kCrossingSettle);
        }
        for (uint32_t hash : c.remoteSettling) pairing.remoteAnnounced(hash);
        EXPECT_EQ(pairing.decide(), c.owner);
        EXPECT_FALSE(pairing.remoteWaiting(c.owner));
    }
}

TEST(ChannelPairing, BothSidesOfACrossingGiveTheFirstConnectionToTheSameHashAndTheSecondToTheOther) {
    Pairing a, b;
    // Each requested; each read the other's hash while settling.
    a.connected(4, true, t0);
    b.connected(9, true, t0);
    a.remoteAnnounced(9);
    b.remoteAnnounced(4);
    EXPECT_EQ(a.decide(), 4u);
    EXPECT_EQ(b.decide(), 4u);
    // A opens again for its own hash (the connection for 4 waits for B's opener, paired), B for 9.
    a.connected(9, false, t0 + 1s);  // A now answers 9 (its own request was served)
    EXPECT_EQ(a.decide(), 9u);
    b.connected(9, true, t0 + 1s);
    EXPECT_EQ(b.decide(), 9u);
}

// What each wait protects against, and what lifts it.
TEST(ChannelPairing, WaitsLastOnlyUntilTheRemoteHasShownWhatTheyWaitFor) {
    Pairing fresh;
    EXPECT_EQ(fresh.connectNotBefore(false), Pairing::TimePoint{});
    EXPECT_EQ(fresh.announceNotBefore(false), Pairing::TimePoint{});

    Pairing pairing;
    pairing.remoteAnnounced(5);
    pairing.connected(5, false, t0);  // answered a requesting remote
    ASSERT_EQ(pairing.decide(), 5u);
    // The remote's half may still be completing: no connect, and no sends on the channel, before
    // it is heard or its allowance passes.
    EXPECT_EQ(pairing.connectNotBefore(false), t0 + Pairing::kRemoteCompletionAllowance);
    EXPECT_EQ(pairing.connectNotBefore(true), Pairing::TimePoint{});
    EXPECT_EQ(pairing.sendsHeldUntil(), t0 + Pairing::kRemoteCompletionAllowance);
    // The requesting remote may still be deciding: no announcement until its data shows it has.
    EXPECT_EQ(pairing.announceNotBefore(false), t0 + Pairing::kRemoteDecisionAllowance);
    EXPECT_EQ(pairing.announceNotBefore(true), Pairing::TimePoint{});

    // A connection whose remote answered this side leaves no remote deciding.
    pairing.connected(8, true, t0 + 2s);
    ASSERT_EQ(pairing.decide(), 8u);
    EXPECT_EQ(pairing.announceNotBefore(false), Pairing::TimePoint{});
    EXPECT_EQ(pairing.connectNotBefore(false), t0 + 2s + Pairing::kRemoteCompletionAllowance);
}

TEST(ChannelPairing, AForgottenRemoteHashNoLongerClaimsAConnection) {
    Pairing pairing;
    pairing.remoteAnnounced(1);
    pairing.forget(1);
    EXPECT_EQ(pairing.connected(6, true, t0), t0 + Pairing::kCrossingSettle);
    EXPECT_EQ(pairing.decide(), 6u);
}

}  // namespace
}  // namespace kl

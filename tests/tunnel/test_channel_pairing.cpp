// Whose a data channel is and when a side may announce, connect and send, on a fake clock.
#include <gtest/gtest.h>

#include "tunnel/protocol/TunnexChannelPairing.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Pairing = TunnexChannelPairing;

const Pairing::TimePoint t0 = Pairing::TimePoint{} + 1000s;

TEST(ChannelPairing, AConnectionGoesToTheSmallestContenderKnownWhenItCompletes) {
    struct Case {
        const char* name;
        bool requesting;
        uint32_t own;
        std::vector<uint32_t> remote;  // announced and read by the completion
        uint32_t owner;
    };
    const std::vector<Case> cases = {
        {"a requester that read no remote hash keeps its connection", true, 7, {}, 7},
        {"a crossing request with a smaller hash takes it", true, 7, {3}, 3},
        {"a crossing request with a larger hash leaves it to the requester", true, 7, {9}, 7},
        {"an answerer decides for the hash it answers", false, 5, {5}, 5},
        // The remote announces only what it connects for next: a smaller hash read meanwhile was
        // announced after the remote's connect, for a later connection.
        {"an answerer keeps its hash though the remote announced a smaller one since", false, 5, {2, 5}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pairing pairing;
        for (uint32_t hash : c.remote) pairing.remoteAnnounced(hash);
        EXPECT_EQ(pairing.decide(c.own, c.requesting, t0), c.owner);
        EXPECT_FALSE(pairing.remoteWaiting(c.owner));
    }
}

TEST(ChannelPairing, BothSidesOfACrossingGiveTheFirstConnectionToTheSameHashAndTheSecondToTheOther) {
    Pairing a, b;
    // Each requested; each read the other's hash by its completion.
    a.remoteAnnounced(9);
    b.remoteAnnounced(4);
    EXPECT_EQ(a.decide(4, true, t0), 4u);
    EXPECT_EQ(b.decide(9, true, t0), 4u);
    // A answers 9 now (its own request was served); B opens again for its own.
    EXPECT_EQ(a.decide(9, false, t0 + 1s), 9u);
    EXPECT_EQ(b.decide(9, true, t0 + 1s), 9u);
}

// What each wait protects against, and what lifts it.
TEST(ChannelPairing, WaitsLastOnlyUntilTheRemoteHasShownWhatTheyWaitFor) {
    Pairing fresh;
    EXPECT_EQ(fresh.connectNotBefore(false), Pairing::TimePoint{});
    EXPECT_EQ(fresh.announceNotBefore(false), Pairing::TimePoint{});

    Pairing pairing;
    pairing.remoteAnnounced(5);
    ASSERT_EQ(pairing.decide(5, false, t0), 5u);  // answered a requesting remote
    // The remote's half may still be completing: no connect, and no sends on the channel, before
    // it is heard or its allowance passes.
    EXPECT_EQ(pairing.connectNotBefore(false), t0 + Pairing::kRemoteCompletionAllowance);
    EXPECT_EQ(pairing.connectNotBefore(true), Pairing::TimePoint{});
    EXPECT_EQ(pairing.sendsHeldUntil(), t0 + Pairing::kRemoteSendAllowance);
    // The requesting remote may still be deciding: no announcement until its data shows it has.
    EXPECT_EQ(pairing.announceNotBefore(false), t0 + Pairing::kRemoteDecisionAllowance);
    EXPECT_EQ(pairing.announceNotBefore(true), Pairing::TimePoint{});

    // A connection whose remote answered this side leaves no remote deciding.
    ASSERT_EQ(pairing.decide(8, true, t0 + 2s), 8u);
    EXPECT_EQ(pairing.announceNotBefore(false), Pairing::TimePoint{});
    EXPECT_EQ(pairing.connectNotBefore(false), t0 + 2s + Pairing::kRemoteCompletionAllowance);

    // A crossing leaves the remote deciding too.
    pairing.remoteAnnounced(3);
    ASSERT_EQ(pairing.decide(6, true, t0 + 3s), 3u);
    EXPECT_EQ(pairing.announceNotBefore(false), t0 + 3s + Pairing::kRemoteDecisionAllowance);
}

TEST(ChannelPairing, AForgottenRemoteHashNoLongerClaimsAConnection) {
    Pairing pairing;
    pairing.remoteAnnounced(1);
    pairing.forget(1);
    EXPECT_EQ(pairing.decide(6, true, t0), 6u);
    EXPECT_EQ(pairing.announceNotBefore(false), Pairing::TimePoint{});
}

}  // namespace
}  // namespace kl

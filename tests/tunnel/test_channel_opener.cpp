// The opening machine of data channels on a fake clock: events in, announcements, connects,
// deliveries and deadlines out.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tunnel/protocol/TunnexChannelOpener.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Opener = TunnexChannelOpener;
using Pairing = TunnexChannelPairing;
using Kind = Opener::Action::Kind;
using Previous = Opener::PreviousChannel;

const Opener::TimePoint t0 = Opener::TimePoint{} + 1000s;

Opener::Action announce(uint32_t hash) { return {Kind::Announce, hash, 0}; }
Opener::Action connect(uint32_t hash) { return {Kind::Connect, hash, 0}; }
Opener::Action deliver(uint32_t hash, Opener::ConnectionId id) { return {Kind::Deliver, hash, id}; }
Opener::Action fail(uint32_t hash) { return {Kind::Fail, hash, 0}; }
Opener::Action discard(uint32_t hash, Opener::ConnectionId id) { return {Kind::Discard, hash, id}; }

// One event of a script and what it must give.
struct Step {
    enum class Event { Own, Answer, RemoteAnnounced, Connected, Tick } event;
    uint32_t hash = 0;                  // Own, Answer, RemoteAnnounced
    Opener::ConnectionId connection = 0;  // Connected
    Opener::TimePoint::duration at{};   // since t0
    Previous previous{};
    std::vector<Opener::Action> actions{};
    std::optional<Opener::TimePoint::duration> wakeAfterT0{};  // none: no deadline
};

using E = Step::Event;

void play(const char* name, const std::vector<Step>& script) {
    SCOPED_TRACE(name);
    Opener opener;
    int index = 0;
    for (const Step& step : script) {
        SCOPED_TRACE("step " + std::to_string(index++));
        const auto now = t0 + step.at;
        Opener::Output out;
        switch (step.event) {
            case E::Own: out = opener.request(step.hash, true, now, step.previous); break;
            case E::Answer:
                opener.remoteAnnounced(step.hash);
                out = opener.request(step.hash, false, now, step.previous);
                break;
            case E::RemoteAnnounced: opener.remoteAnnounced(step.hash); break;
            case E::Connected: out = opener.connected(step.connection, now, step.previous); break;
            case E::Tick: out = opener.tick(now, step.previous); break;
        }
        EXPECT_EQ(out.actions, step.actions);
        if (step.wakeAfterT0) {
            ASSERT_TRUE(out.wakeAt.has_value());
            EXPECT_EQ(*out.wakeAt - t0, *step.wakeAfterT0);
        } else {
            EXPECT_FALSE(out.wakeAt.has_value());
        }
    }
}

constexpr auto settle = Pairing::kCrossingSettle;
constexpr auto completion = Pairing::kRemoteCompletionAllowance;
constexpr auto decision = Pairing::kRemoteDecisionAllowance;

TEST(ChannelOpener, ScriptsOfOneSideEventsInActionsAndDeadlinesOut) {
    const Previous heard{true, false}, spoke{true, true};
    play("a lone request announces, connects, settles, then keeps its connection",
         {{E::Own, 7, 0, 0ms, {}, {announce(7), connect(7)}},
          {E::Connected, 0, 1, 20ms, {}, {}, 20ms + settle},
          {E::Tick, 0, 0, 20ms + settle, {}, {deliver(7, 1)}}});
    play("an answer connects at once and is decided at once",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}}, {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}}});
    play("one connect at a time: the second request waits for the first to be decided",
         {{E::Own, 7, 0, 0ms, {}, {announce(7), connect(7)}},
          {E::Answer, 9, 0, 5ms, {}, {}},
          // 9 is known at completion: decided at once, for 7, the smaller; 9 waits for the remote.
          {E::Connected, 0, 1, 20ms, {}, {deliver(7, 1)}, 20ms + completion},
          {E::Tick, 0, 0, 100ms, heard, {connect(9)}},
          {E::Connected, 0, 2, 300ms, {}, {deliver(9, 2)}}});
    play("after answering, the next connect waits for the remote's completion unless it was heard",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Answer, 6, 0, 30ms, {}, {}, 20ms + completion},
          {E::Tick, 0, 0, 100ms, heard, {connect(6)}}});
    play("after answering, this side's own announcement waits until the remote has decided",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Own, 8, 0, 30ms, heard, {}, 20ms + decision},
          {E::Tick, 0, 0, 50ms, spoke, {announce(8), connect(8)}}});
    play("without a word from the remote, the allowances pass and the opening goes on",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Own, 8, 0, 30ms, {}, {}, 20ms + decision},
          {E::Tick, 0, 0, 20ms + decision, {}, {announce(8), connect(8)}}});
    play("a crossing request read while settling takes the connection; the own request connects again "
         "without a second announcement",
         {{E::Own, 7, 0, 0ms, {}, {announce(7), connect(7)}},
          {E::Connected, 0, 1, 20ms, {}, {}, 20ms + settle},
          {E::Answer, 3, 0, 100ms, {}, {}, 20ms + settle},
          {E::Tick, 0, 0, 20ms + settle, {}, {deliver(3, 1)}, 20ms + completion},
          {E::Tick, 0, 0, 20ms + completion, {}, {connect(7)}},
          {E::Connected, 0, 2, 450ms, {}, {}, 450ms + settle},
          {E::Tick, 0, 0, 450ms + settle, {}, {deliver(7, 2)}}});
    play("a connection decided for a remote hash whose answer is not asked for yet waits for it",
         {{E::Own, 7, 0, 0ms, {}, {announce(7), connect(7)}},
          {E::Connected, 0, 1, 20ms, {}, {}, 20ms + settle},
          {E::RemoteAnnounced, 2, 0, 100ms},
          {E::Tick, 0, 0, 20ms + settle, heard, {connect(7)}},
          {E::Answer, 2, 0, 280ms, {}, {deliver(2, 1)}}});
}

TEST(ChannelOpener, ADecidedConnectionHoldsItsSendsForTheRemotesCompletion) {
    Opener opener;
    opener.remoteAnnounced(5);
    opener.request(5, false, t0, {});
    const auto out = opener.connected(1, t0 + 20ms, {});
    ASSERT_TRUE(out.decided.has_value());
    EXPECT_EQ(*out.decided, 1u);
    EXPECT_EQ(out.sendsHeldUntil, t0 + 20ms + completion);
}

TEST(ChannelOpener, AFailedConnectFailsItsRequestAndTheEndFailsTheRestAndDropsStrayConnections) {
    Opener opener;
    opener.request(7, true, t0, {});
    opener.request(8, true, t0, {});
    EXPECT_EQ(opener.connectFailed().actions, std::vector<Opener::Action>{fail(7)});
    EXPECT_EQ(opener.failAll().actions, std::vector<Opener::Action>{fail(8)});
    EXPECT_EQ(opener.waiting(), 0u);

    // A connection decided for a hash no one asked for yet is closed at the end.
    Opener paired;
    paired.request(7, true, t0, {});
    paired.connected(1, t0, {});
    paired.remoteAnnounced(2);
    paired.tick(t0 + settle, {true, false});  // 1 is 2's; 7 connects again
    EXPECT_EQ(paired.failAll().actions, (std::vector<Opener::Action>{fail(7), discard(2, 1)}));
    // The connect under way when the tunnel ended completes for no one.
    EXPECT_EQ(paired.connected(2, t0 + 1s, {}).actions, std::vector<Opener::Action>{discard(0, 2)});
    // Afterwards the machine serves new requests from scratch.
    EXPECT_EQ(paired.request(9, true, t0 + 2s, {}).actions, (std::vector<Opener::Action>{announce(9), connect(9)}));
}

// Both sides' machines with the main channel and the rendezvous between them: each announcement
// is read by the other side after a delay, and each side's k-th connect meets the other's k-th.
TEST(ChannelOpener, TwoSidesRequestingManyAtOnceAgreeOnEveryConnection) {
    struct Side {
        Opener opener;
        std::vector<uint32_t> connectsFor;       // hash of each connect, in order
        std::vector<std::pair<uint32_t, Opener::ConnectionId>> delivered;
        std::optional<Opener::TimePoint> wake;
        std::vector<std::pair<Opener::TimePoint, uint32_t>> inbox;  // announcements to read, by arrival
        bool connecting = false;
    };
    Side sides[2];
    const auto latency = 5ms;
    auto apply = [&](int me, const Opener::Output& out, Opener::TimePoint now) {
        Side& side = sides[me];
        for (const auto& action : out.actions) {
            if (action.kind == Kind::Announce) sides[1 - me].inbox.push_back({now + latency, action.hash});
            if (action.kind == Kind::Connect) {
                side.connectsFor.push_back(action.hash);
                side.connecting = true;
            }
            if (action.kind == Kind::Deliver) side.delivered.push_back({action.hash, action.connection});
            ASSERT_NE(action.kind, Kind::Fail);
        }
        side.wake = out.wakeAt;
    };
    auto readInbox = [&](int me, Opener::TimePoint now) {
        Side& side = sides[me];
        for (auto it = side.inbox.begin(); it != side.inbox.end();) {
            if (it->first > now) {
                ++it;
                continue;
            }
            const uint32_t hash = it->second;
            it = side.inbox.erase(it);
            side.opener.remoteAnnounced(hash);
            apply(me, side.opener.request(hash, false, now, {}), now);
        }
    };
    // Each side requests five at once; hashes interleave so crossings pick either side's.
    const uint32_t own[2][5] = {{10, 31, 12, 53, 14}, {21, 5, 43, 24, 65}};
    for (int me = 0; me < 2; ++me)
        for (uint32_t hash : own[me]) apply(me, sides[me].opener.request(hash, true, t0, {}), t0);
    // Time in 1-ms steps. A rendezvous completes when both sides have a connect under way.
    Opener::ConnectionId made = 0;
    for (auto now = t0; now < t0 + 60s; now += 1ms) {
        for (int me = 0; me < 2; ++me) readInbox(me, now);
        if (sides[0].connecting && sides[1].connecting) {
            ++made;
            sides[0].connecting = sides[1].connecting = false;
            for (int me = 0; me < 2; ++me) apply(me, sides[me].opener.connected(made, now, {}), now);
        }
        for (int me = 0; me < 2; ++me) {
            if (sides[me].wake && *sides[me].wake <= now) {
                readInbox(me, now);
                apply(me, sides[me].opener.tick(now, {}), now);
            }
        }
        if (sides[0].delivered.size() == 10 && sides[1].delivered.size() == 10) break;
    }
    ASSERT_EQ(sides[0].delivered.size(), 10u);
    ASSERT_EQ(sides[1].delivered.size(), 10u);
    EXPECT_EQ(made, 10u);
    // The same connection carries the same hash on both sides.
    std::map<uint32_t, Opener::ConnectionId> a(sides[0].delivered.begin(), sides[0].delivered.end());
    std::map<uint32_t, Opener::ConnectionId> b(sides[1].delivered.begin(), sides[1].delivered.end());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), 10u);
}

}  // namespace
}  // namespace kl

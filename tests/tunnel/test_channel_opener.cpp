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
using Facts = Opener::Facts;

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
    Facts facts{};
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
            case E::Own: out = opener.request(step.hash, true, now, step.facts); break;
            case E::Answer:
                opener.remoteAnnounced(step.hash);
                out = opener.request(step.hash, false, now, step.facts);
                break;
            case E::RemoteAnnounced: opener.remoteAnnounced(step.hash); break;
            case E::Connected: out = opener.connected(step.connection, now, step.facts); break;
            case E::Tick: out = opener.tick(now, step.facts); break;
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

constexpr auto poll = Opener::kFactsPoll;
constexpr auto completion = Pairing::kRemoteCompletionAllowance;
constexpr auto decision = Pairing::kRemoteDecisionAllowance;

TEST(ChannelOpener, ScriptsOfOneSideEventsInActionsAndDeadlinesOut) {
    const Facts heard{true, false, false}, spoke{true, true, false}, acked{false, false, true};
    play("a lone request announces, connects once its announcement is acknowledged, and keeps its "
         "connection at completion",
         {{E::Own, 7, 0, 0ms, {}, {announce(7)}, poll},
          {E::Tick, 0, 0, poll, {}, {}, 2 * poll},
          {E::Tick, 0, 0, 2 * poll, acked, {connect(7)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(7, 1)}}});
    play("an answer connects at once and is decided at once",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}}, {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}}});
    play("one connect at a time: the second request waits for the first to be decided",
         {{E::Own, 7, 0, 0ms, {}, {announce(7)}, poll},
          {E::Answer, 9, 0, 1ms, {}, {}, 1ms + poll},
          {E::Tick, 0, 0, 1ms + poll, acked, {connect(7)}},
          // 9 is known at completion: decided at once, for 7, the smaller; 9 waits for the remote.
          {E::Connected, 0, 1, 20ms, {}, {deliver(7, 1)}, 20ms + poll},
          {E::Tick, 0, 0, 100ms, heard, {connect(9)}},
          {E::Connected, 0, 2, 300ms, {}, {deliver(9, 2)}}});
    play("after answering, the next connect waits for the remote's completion unless it was heard",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Answer, 6, 0, 30ms, {}, {}, 30ms + poll},
          {E::Tick, 0, 0, 100ms, heard, {connect(6)}}});
    play("after answering, this side's own announcement waits until the remote has decided",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Own, 8, 0, 30ms, heard, {}, 30ms + poll},
          {E::Tick, 0, 0, 50ms, spoke, {announce(8)}, 50ms + poll}});
    // What the remote shows on a channel comes with no event: it is looked for often, and the
    // allowance is the last resort.
    play("without a word from the remote, the allowances pass and the opening goes on",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(5, 1)}},
          {E::Own, 8, 0, 30ms, {}, {}, 30ms + poll},
          {E::Tick, 0, 0, 500ms, {}, {}, 500ms + poll},
          {E::Tick, 0, 0, 20ms + decision - 1ms, {}, {}, 20ms + decision},
          {E::Tick, 0, 0, 20ms + decision, {}, {announce(8)}, 20ms + decision + poll},
          {E::Tick, 0, 0, 20ms + decision + poll, acked, {connect(8)}}});
    play("a crossing request read by the completion takes the connection when its hash is smaller; "
         "the own request connects again without a second announcement",
         {{E::Own, 7, 0, 0ms, {}, {announce(7)}, poll},
          {E::Tick, 0, 0, poll, acked, {connect(7)}},
          {E::Answer, 3, 0, 15ms, {}, {}},
          {E::Connected, 0, 1, 20ms, {}, {deliver(3, 1)}, 20ms + poll},
          {E::Tick, 0, 0, 20ms + completion, {}, {connect(7)}},
          {E::Connected, 0, 2, 450ms, {}, {deliver(7, 2)}}});
    play("a connection decided for a remote hash whose answer is not asked for yet waits for it",
         {{E::Own, 7, 0, 0ms, {}, {announce(7)}, poll},
          {E::Tick, 0, 0, poll, acked, {connect(7)}},
          {E::RemoteAnnounced, 2, 0, 15ms},
          {E::Connected, 0, 1, 20ms, heard, {connect(7)}},
          {E::Answer, 2, 0, 25ms, {}, {deliver(2, 1)}}});
    play("an answerer keeps its connection though the remote announced a smaller hash meanwhile",
         {{E::Answer, 5, 0, 0ms, {}, {connect(5)}},
          {E::RemoteAnnounced, 2, 0, 15ms},
          {E::Connected, 0, 1, 20ms, heard, {deliver(5, 1)}}});
}

TEST(ChannelOpener, ADecidedConnectionHoldsItsSendsForTheRemotesCompletion) {
    Opener opener;
    opener.remoteAnnounced(5);
    opener.request(5, false, t0, {});
    const auto out = opener.connected(1, t0 + 20ms, {});
    ASSERT_TRUE(out.decided.has_value());
    EXPECT_EQ(*out.decided, 1u);
    EXPECT_EQ(out.sendsHeldUntil, t0 + 20ms + Pairing::kRemoteSendAllowance);
}

TEST(ChannelOpener, AFailedConnectFailsItsRequestAndTheEndFailsTheRestAndDropsStrayConnections) {
    const Facts acked{true, false, true};
    Opener opener;
    opener.request(7, true, t0, {});
    opener.request(8, true, t0, {});
    EXPECT_EQ(opener.tick(t0 + poll, acked).actions, std::vector<Opener::Action>{connect(7)});
    EXPECT_EQ(opener.connectFailed().actions, std::vector<Opener::Action>{fail(7)});
    EXPECT_EQ(opener.failAll().actions, std::vector<Opener::Action>{fail(8)});
    EXPECT_EQ(opener.waiting(), 0u);

    // A connection decided for a hash no one asked for yet is closed at the end.
    Opener paired;
    paired.request(7, true, t0, {});
    paired.tick(t0 + poll, acked);
    paired.remoteAnnounced(2);
    // 1 is 2's; 7 connects again at once, its remote being heard.
    EXPECT_EQ(paired.connected(1, t0 + 20ms, acked).actions, std::vector<Opener::Action>{connect(7)});
    EXPECT_EQ(paired.failAll().actions, (std::vector<Opener::Action>{fail(7), discard(2, 1)}));
    // The connect under way when the tunnel ended completes for no one.
    EXPECT_EQ(paired.connected(2, t0 + 1s, {}).actions, std::vector<Opener::Action>{discard(0, 2)});
    // Afterwards the machine serves new requests from scratch.
    EXPECT_EQ(paired.request(9, true, t0 + 2s, {}).actions, std::vector<Opener::Action>{announce(9)});
}

// Both sides' machines with the main channel and the rendezvous between them, on one clock. An
// announcement becomes readable on the other side after the one-way delay and is acknowledged a
// delay later; each side reads its main channel all the time and once more at each completion;
// each side's k-th connect meets the other's k-th, and the second side completes up to a
// handshake period after the first. Whatever the delays, the same connection must carry the same
// hash on both sides.
struct Network {
    std::chrono::milliseconds delay[2];  // one way, from side 0 and from side 1
    std::chrono::milliseconds lag;       // side 1 completes this much after side 0
};

std::map<uint32_t, Opener::ConnectionId> openAll(const Network& net, const std::vector<uint32_t> (&own)[2],
                                                  std::chrono::milliseconds spacing, Opener::ConnectionId* made) {
    using TimePoint = Opener::TimePoint;
    struct Side {
        Opener opener;
        std::vector<std::pair<uint32_t, Opener::ConnectionId>> delivered;
        std::optional<TimePoint> wake;
        std::vector<std::pair<TimePoint, uint32_t>> inbox;  // announcements, readable from then
        TimePoint acknowledgedAt = TimePoint::max();         // of the last announcement
        bool connecting = false;
        std::optional<std::pair<TimePoint, Opener::ConnectionId>> completion;  // due
        Opener::ConnectionId last = 0;                       // the connection completed last
        std::map<Opener::ConnectionId, TimePoint> completedAt;  // it decides then, too
    };
    Side sides[2];
    auto facts = [&](int me, TimePoint now) {
        // What the other side sent on this side's last connection since completing it.
        const Side& other = sides[1 - me];
        const auto done = other.completedAt.find(sides[me].last);
        const bool heard = done != other.completedAt.end() && done->second + net.delay[1 - me] <= now;
        // Each side decides at completion, and sends only once decided.
        return Facts{heard, heard, now >= sides[me].acknowledgedAt};
    };
    auto apply = [&](int me, const Opener::Output& out, TimePoint now) {
        Side& side = sides[me];
        for (const auto& action : out.actions) {
            if (action.kind == Kind::Announce) {
                sides[1 - me].inbox.push_back({now + net.delay[me], action.hash});
                side.acknowledgedAt = now + net.delay[me] + net.delay[1 - me];
            }
            if (action.kind == Kind::Connect) side.connecting = true;
            if (action.kind == Kind::Deliver) side.delivered.push_back({action.hash, action.connection});
            EXPECT_NE(action.kind, Kind::Fail);
            EXPECT_NE(action.kind, Kind::Discard);
        }
        side.wake = out.wakeAt;
    };
    auto readInbox = [&](int me, TimePoint now) {
        Side& side = sides[me];
        for (auto it = side.inbox.begin(); it != side.inbox.end();) {
            if (it->first > now) {
                ++it;
                continue;
            }
            const uint32_t hash = it->second;
            it = side.inbox.erase(it);
            side.opener.remoteAnnounced(hash);
            apply(me, side.opener.request(hash, false, now, facts(me, now)), now);
        }
    };
    const size_t total = own[0].size() + own[1].size();
    *made = 0;
    for (auto now = t0; now < t0 + 60s; now += 1ms) {
        for (int me = 0; me < 2; ++me) {
            // Side me's i-th request comes at i * spacing * (me + 1).
            for (size_t i = 0; i < own[me].size(); ++i) {
                if (now == t0 + spacing * (me + 1) * int(i))
                    apply(me, sides[me].opener.request(own[me][i], true, now, facts(me, now)), now);
            }
            readInbox(me, now);
        }
        if (sides[0].connecting && sides[1].connecting) {
            ++*made;
            sides[0].connecting = sides[1].connecting = false;
            sides[0].completion = {now, *made};
            sides[1].completion = {now + net.lag, *made};
        }
        for (int me = 0; me < 2; ++me) {
            Side& side = sides[me];
            if (side.completion && side.completion->first <= now) {
                const auto id = side.completion->second;
                side.completion.reset();
                side.completedAt[id] = now;
                side.last = id;
                readInbox(me, now);
                apply(me, side.opener.connected(id, now, facts(me, now)), now);
            }
            if (side.wake && *side.wake <= now) apply(me, side.opener.tick(now, facts(me, now)), now);
        }
        if (sides[0].delivered.size() == total && sides[1].delivered.size() == total) break;
    }
    EXPECT_EQ(sides[0].delivered.size(), total);
    std::map<uint32_t, Opener::ConnectionId> a(sides[0].delivered.begin(), sides[0].delivered.end());
    std::map<uint32_t, Opener::ConnectionId> b(sides[1].delivered.begin(), sides[1].delivered.end());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), total);
    return a;
}

TEST(ChannelOpener, TwoSidesRequestingManyAtOnceAgreeOnEveryConnection) {
    // Hashes interleave so crossings pick either side's, and a side's later request may carry a
    // smaller hash than its earlier one.
    const std::vector<uint32_t> both[2] = {{10, 31, 12, 53, 14}, {21, 5, 43, 24, 65}};
    const std::vector<uint32_t> oneSide[2] = {{10, 31, 12, 53, 14}, {}};
    const struct {
        const char* name;
        const std::vector<uint32_t> (&own)[2];
        Network net;
        std::chrono::milliseconds spacing;  // between one side's requests; 0: all at once
    } cases[] = {
        {"all at once, equal delays, completions together", both, {{5ms, 5ms}, 0ms}, 0ms},
        {"all at once, uneven delays, one side completing late", both, {{2ms, 9ms}, 30ms}, 0ms},
        {"a completion later than the next announcement's way", both, {{1ms, 1ms}, 12ms}, 0ms},
        // The answerer reads the requester's next, smaller hash before its own completion.
        {"one side requesting, the answerer completing late", oneSide, {{1ms, 1ms}, 12ms}, 0ms},
        {"requests spread over time", both, {{3ms, 4ms}, 5ms}, 7ms},
        {"requests spread over time on a slow path", both, {{40ms, 25ms}, 60ms}, 13ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Opener::ConnectionId made = 0;
        openAll(c.net, c.own, c.spacing, &made);
        // Every connection carried one hash: none was made for nothing.
        EXPECT_EQ(made, c.own[0].size() + c.own[1].size());
    }
}

}  // namespace
}  // namespace kl

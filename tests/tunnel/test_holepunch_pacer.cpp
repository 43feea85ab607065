// The pace of a hole-punch attempt on a fake clock: what the pacer says to do, and when, as the
// facts its owner reports change.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/protocol/TunnexHolePunchPacer.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Pacer = TunnexHolePunchPacer;
using A = Pacer::Action;
using Facts = Pacer::Facts;

const Pacer::TimePoint t0 = Pacer::TimePoint{} + 1000s;

// Two rounds, a final poll whose last tick is short, repeats until the deadline at 76 ms.
const Pacer::Pace kPace{.rounds = 2, .sendPause = 1ms, .roundPoll = 5ms, .finalPoll = 25ms,
                        .attemptLimit = 76ms, .repeatInterval = 20ms};

// One action carried out (waits left out), at its time since t0.
struct Done {
    A action;
    Pacer::Duration at;
    int round = 0;
    float fraction = 0;
    bool operator==(const Done& other) const { return action == other.action && at == other.at; }
};

void PrintTo(const Done& done, std::ostream* out) {
    *out << "{action " << int(done.action) << " at "
         << std::chrono::duration_cast<std::chrono::microseconds>(done.at).count() << "us}";
}

// The owner's side: what carrying out a step changes in the facts.
using World = std::function<void(const Pacer::Step&, Facts&)>;

struct Played {
    std::vector<Done> done;
    bool endedWithoutFailure = false;
};

// Drives the pacer as its owner does: steps at once in turn, the clock moved to each deadline.
Played play(Pacer::Pace pace, Facts facts, const World& world) {
    Pacer pacer(pace);
    Played run;
    auto now = t0;
    for (int guard = 0; guard < 100000; ++guard) {
        const Pacer::Step step = pacer.next(now, facts);
        if (step.action != A::Wait) run.done.push_back({step.action, now - t0, step.round, step.fraction});
        world(step, facts);
        if (step.then == Pacer::Then::Never) {
            run.endedWithoutFailure = step.action != A::Fail;
            EXPECT_TRUE(pacer.over());
            return run;
        }
        if (step.then == Pacer::Then::At) {
            EXPECT_GE(step.at, now) << "a deadline in the past";
            now = step.at;
        }
    }
    ADD_FAILURE() << "the attempt never ended";
    return run;
}

void nothingChanges(const Pacer::Step&, Facts&) {}

// Round 0, which polls: the same in every run whose rounds start.
const std::vector<Done> kRoundZero{{A::SendFirst, 0ms},   {A::OpenRound, 0ms},      {A::SendFreshToAdvertised, 1ms},
                                   {A::SendHandoffToAdvertised, 2ms}, {A::SprayRound, 3ms}, {A::PollRound, 3ms}};

std::vector<Done> roundZeroThen(std::vector<Done> rest) {
    std::vector<Done> all = kRoundZero;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

// Round 0 polled: round 1 waits the poll's pause; it does not poll.
std::vector<Done> bothRoundsThen(std::vector<Done> rest) {
    std::vector<Done> all = roundZeroThen({{A::OpenRound, 8ms},
                                           {A::SendFreshToAdvertised, 9ms},
                                           {A::SendHandoffToAdvertised, 10ms},
                                           {A::SprayRound, 11ms}});
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

TEST(HolePunchPacer, SilentAttemptRunsEveryRoundTheFinalPollAndFailsAtTheDeadline) {
    const Played run = play(kPace, {}, nothingChanges);
    EXPECT_EQ(run.done, bothRoundsThen({
                            {A::EndRounds, 11ms},
                            // Ticks of 10 ms, the last one cut short at the end of the span.
                            {A::FinalPoll, 11ms},
                            {A::FinalPoll, 21ms},
                            {A::FinalPoll, 31ms},
                            {A::FinalPoll, 36ms},
                            {A::CloseUnanswered, 36ms},
                            // No address learned: the repeats send nothing, 36 + 2 x 20 is the deadline.
                            {A::Fail, 76ms},
                        }));
    EXPECT_FALSE(run.endedWithoutFailure);
}

TEST(HolePunchPacer, RoundRulesOverManyRounds) {
    Pacer::Pace pace = kPace;
    pace.rounds = kTunnexPunchPollEvery + 8;
    pace.attemptLimit = 10s;
    const Played run = play(pace, {}, nothingChanges);

    std::vector<int> opened, toAdvertised, polled;
    std::vector<Pacer::Duration> openedAt, sprayedAt;
    int round = -1;
    for (const Done& done : run.done) {
        if (done.action == A::OpenRound) {
            round = done.round;
            opened.push_back(done.round);
            openedAt.push_back(done.at);
        }
        if (done.action == A::SendHandoffToAdvertised) toAdvertised.push_back(round);
        if (done.action == A::SprayRound) sprayedAt.push_back(done.at);
        if (done.action == A::PollRound) {
            polled.push_back(done.round);
            EXPECT_FLOAT_EQ(done.fraction, float(done.round) / float(kTunnexPunchRounds));
        }
    }
    ASSERT_EQ(opened.size(), size_t(pace.rounds));
    ASSERT_EQ(sprayedAt.size(), size_t(pace.rounds));
    for (int r = 0; r < pace.rounds; ++r) {
        EXPECT_EQ(opened[r], r);
        // Four sends a send pause apart; the next round follows at once, or after a poll's pause.
        EXPECT_EQ(sprayedAt[r] - openedAt[r], 3 * pace.sendPause) << "round " << r;
        if (r > 0) {
            EXPECT_EQ(openedAt[r] - sprayedAt[r - 1], tunnexPunchRoundPolls(r - 1) ? pace.roundPoll : 0ms) << "round " << r;
        }
    }
    std::vector<int> early(kTunnexPunchAdvertisedRounds);
    for (int r = 0; r < kTunnexPunchAdvertisedRounds; ++r) early[r] = r;
    EXPECT_EQ(toAdvertised, early);
    EXPECT_EQ(polled, (std::vector<int>{0, kTunnexPunchPollEvery}));
}

// A change of facts once a given action (of a given round) has been carried out.
World after(A action, int round, std::function<void(Facts&)> change) {
    return [=](const Pacer::Step& step, Facts& facts) {
        if (step.action == action && step.round == round) change(facts);
    };
}

World both(World first, World second) {
    return [=](const Pacer::Step& step, Facts& facts) {
        first(step, facts);
        second(step, facts);
    };
}

struct Scenario {
    const char* name;
    Facts start;
    World world;
    std::vector<Done> expected;
    bool endsWithoutFailure = false;
};

TEST(HolePunchPacer, WhatEndsTheRoundsAndTheAttempt) {
    // The executor forgets the answered sockets once it has closed the others.
    const World forgetAnswersOnClose = [](const Pacer::Step& step, Facts& facts) {
        if (step.action == A::CloseUnanswered) facts.answersFound = false;
    };
    const std::vector<Scenario> scenarios{
        {"answers in a polling round end the rounds without a final poll",
         {},
         both(after(A::PollRound, 0, [](Facts& f) { f.answersFound = true; }), forgetAnswersOnClose),
         roundZeroThen({{A::EndRounds, 3ms}, {A::CloseUnanswered, 3ms}, {A::Fail, 83ms}})},
        {"an address learned in a round skips to the repeats toward it",
         {},
         after(A::SprayRound, 1, [](Facts& f) { f.remoteAddressKnown = true; }),
         bothRoundsThen({{A::EndRounds, 11ms},
                        {A::CloseUnanswered, 11ms},
                        {A::RepeatAhoy, 11ms},
                        {A::RepeatAhoy, 31ms},
                        {A::RepeatAhoy, 51ms},
                        {A::RepeatAhoy, 71ms},
                        {A::Fail, 91ms}})},
        {"an address known from the start punches nothing; a completion ends the repeats",
         {.remoteAddressKnown = true},
         after(A::RepeatAhoy, 0, [](Facts& f) { f.completionStarted = true; }),
         {{A::CloseUnanswered, 0ms}, {A::RepeatAhoy, 0ms}},
         true},
        {"a cancel ends the rounds at the next round, skips the final poll and fails at once",
         {},
         after(A::SendFreshToAdvertised, 0, [](Facts& f) { f.cancelled = true; }),
         roundZeroThen({{A::EndRounds, 8ms}, {A::CloseUnanswered, 8ms}, {A::Fail, 8ms}})},
        {"a cancel during the final poll ends it and fails at once",
         {},
         after(A::FinalPoll, kPace.rounds, [](Facts& f) { f.cancelled = true; }),
         bothRoundsThen({{A::EndRounds, 11ms},
                        {A::FinalPoll, 11ms},
                        {A::CloseUnanswered, 11ms},
                        {A::Fail, 11ms}})},
        {"a completion started ends the rounds and, after the final poll, the attempt without failing",
         {},
         after(A::SprayRound, 0, [](Facts& f) { f.completionStarted = true; }),
         roundZeroThen({{A::EndRounds, 8ms},
                        {A::FinalPoll, 8ms},
                        {A::FinalPoll, 18ms},
                        {A::FinalPoll, 28ms},
                        {A::FinalPoll, 33ms},
                        {A::CloseUnanswered, 33ms}}),
         true},
        {"a fresh socket that cannot be made cancels the attempt",
         {},
         after(A::OpenRound, 1, [](Facts& f) { f.freshSocketFailed = true; }),
         roundZeroThen({{A::OpenRound, 8ms}, {A::EndRounds, 8ms}, {A::CloseUnanswered, 8ms}, {A::Fail, 8ms}})},
        {"no address to punch toward: nothing sent, failure at the deadline",
         {.advertisedUsable = false},
         nothingChanges,
         {{A::NoRoute, 0ms}, {A::CloseUnanswered, 0ms}, {A::Fail, 80ms}}},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const Played run = play(kPace, scenario.start, scenario.world);
        EXPECT_EQ(run.done, scenario.expected);
        EXPECT_EQ(run.endedWithoutFailure, scenario.endsWithoutFailure);
    }
}

}  // namespace
}  // namespace kl

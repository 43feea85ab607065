// The pace of one hole-punch attempt as a machine free of I/O and of any clock: the first send to
// the advertised address, rounds of four sends a send pause apart (a fresh socket to a drawn port
// and to the advertised address, the handoff socket to the advertised address in early rounds,
// then to the drawn port and the remote's own addresses), a poll after every polling round, a
// final poll, and the AHOY repeated toward the learned address until the attempt's deadline.
//
// The owner calls next() when the attempt starts and again as each step says: at once (in the
// same turn, the facts updated by what it just did) or at the step's deadline. Each call gives
// the one action to carry out then.
#pragma once

#include <chrono>

namespace kl {

class TunnexHolePunchPacer {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = Clock::duration;

    // How often the final poll looks for answers until its span has passed.
    static constexpr Duration kFinalPollTick = std::chrono::milliseconds(10);

    struct Pace {
        int rounds = 0;
        Duration sendPause{};
        Duration roundPoll{};
        Duration finalPoll{};
        Duration attemptLimit{};
        Duration repeatInterval{};
    };

    // What the owner knows when it calls.
    struct Facts {
        bool cancelled = false;
        bool completionStarted = false;  // a completion owns the path: no more punching
        bool remoteAddressKnown = false;
        bool advertisedUsable = true;    // the remote's advertised address is IPv4
        bool answersFound = false;       // some fresh socket's answer was taken
        bool freshSocketFailed = false;  // the last OpenRound could not make its socket
    };

    enum class Action {
        Wait,                    // nothing to do now
        SendFirst,               // handoff socket to the advertised address, before the rounds
        NoRoute,                 // the remote has no address to punch toward (closing follows)
        OpenRound,               // make the round's fresh socket, draw its port, send to it
        SendFreshToAdvertised,   // the round's fresh socket to the advertised address
        SendHandoffToAdvertised,
        SprayRound,              // handoff socket to the drawn port and the remote's known addresses
        PollRound,               // report the progress fraction, take the answers waiting
        EndRounds,               // the rounds are over: let the round's socket go
        FinalPoll,               // take the answers waiting once more
        CloseUnanswered,         // close the fresh sockets no answer came on
        RepeatAhoy,              // handoff socket to the learned address
        Fail,                    // the attempt ended without a connection
    };

    enum class Then {
        AtOnce,  // call next() again now
        At,      // call next() at `at` (a deadline already reached: after the queued work)
        Never,   // the attempt is over
    };

    struct Step {
        Action action = Action::Wait;
        int round = 0;         // OpenRound .. PollRound
        float fraction = 0;    // PollRound
        Then then = Then::Never;
        TimePoint at{};
        bool operator==(const Step&) const = default;
    };

    explicit TunnexHolePunchPacer(Pace pace) : pace_(pace) {}

    Step next(TimePoint now, const Facts& facts);

    bool over() const { return phase_ == Phase::Over; }

private:
    enum class Phase {
        Begin, Close, RoundStart, Opened, ToAdvertised, FromHandoff, RoundEnd, Sprayed, Polled,
        AfterRounds, FinalPoll, FinalPolled, Repeat, Over,
    };

    Step act(Action action, Phase then) { return go(then, Step{action, round_, 0, Then::AtOnce, {}}); }
    Step wait(Action action, Phase then, TimePoint at) { return go(then, Step{action, round_, 0, Then::At, at}); }
    Step end(Action action) { return go(Phase::Over, Step{action, round_, 0, Then::Never, {}}); }
    Step go(Phase phase, Step step) {
        phase_ = phase;
        return step;
    }

    const Pace pace_;
    Phase phase_ = Phase::Begin;
    int round_ = 0;
    bool socketFailed_ = false;
    TimePoint deadline_{};
    TimePoint finalPollEnd_{};
};

}  // namespace kl

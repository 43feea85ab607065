#include "tunnel/protocol/TunnexHolePunchPacer.h"

#include <algorithm>

#include "tunnel/protocol/TunnexHolePunchCodec.h"

namespace kl {

TunnexHolePunchPacer::Step TunnexHolePunchPacer::next(TimePoint now, const Facts& facts) {
    // A socket that could not be made cancels the attempt for good.
    socketFailed_ = socketFailed_ || facts.freshSocketFailed;
    const bool cancelled = facts.cancelled || socketFailed_;
    switch (phase_) {
        case Phase::Begin:
            deadline_ = now + pace_.attemptLimit;
            if (facts.remoteAddressKnown) return act(Action::CloseUnanswered, Phase::Repeat);
            if (!facts.advertisedUsable) return act(Action::NoRoute, Phase::Close);
            return act(Action::SendFirst, Phase::RoundStart);
        case Phase::Close:
            return act(Action::CloseUnanswered, Phase::Repeat);
        case Phase::RoundStart:
            // A completion under way owns the path now: more datagrams would only reach its UDT.
            if (cancelled || facts.completionStarted || round_ >= pace_.rounds) {
                return act(Action::EndRounds, Phase::AfterRounds);
            }
            return act(Action::OpenRound, Phase::Opened);
        case Phase::Opened:
            if (socketFailed_) return act(Action::EndRounds, Phase::AfterRounds);
            return wait(Action::Wait, Phase::ToAdvertised, now + pace_.sendPause);
        case Phase::ToAdvertised:
            return wait(Action::SendFreshToAdvertised, Phase::FromHandoff, now + pace_.sendPause);
        case Phase::FromHandoff:
            return wait(tunnexPunchRoundSendsToAdvertised(round_) ? Action::SendHandoffToAdvertised : Action::Wait,
                        Phase::RoundEnd, now + pace_.sendPause);
        case Phase::RoundEnd:
            return act(Action::SprayRound, Phase::Sprayed);
        case Phase::Sprayed: {
            if (facts.remoteAddressKnown) return act(Action::EndRounds, Phase::AfterRounds);
            const int round = round_++;
            if (!tunnexPunchRoundPolls(round)) return wait(Action::Wait, Phase::RoundStart, now);
            Step poll = act(Action::PollRound, Phase::Polled);
            poll.round = round;
            poll.fraction = float(round) / float(kTunnexPunchRounds);
            return poll;
        }
        case Phase::Polled:
            if (facts.answersFound) return act(Action::EndRounds, Phase::AfterRounds);
            // The poll's wait, as a pause before the next round.
            return wait(Action::Wait, Phase::RoundStart, now + pace_.roundPoll);
        case Phase::AfterRounds:
            if (facts.remoteAddressKnown || facts.answersFound || cancelled) {
                return act(Action::CloseUnanswered, Phase::Repeat);
            }
            finalPollEnd_ = now + pace_.finalPoll;
            return act(Action::FinalPoll, Phase::FinalPolled);
        case Phase::FinalPoll:
            return act(Action::FinalPoll, Phase::FinalPolled);
        case Phase::FinalPolled:
            if (facts.answersFound || now >= finalPollEnd_ || cancelled) {
                return act(Action::CloseUnanswered, Phase::Repeat);
            }
            return wait(Action::Wait, Phase::FinalPoll, now + std::min(kFinalPollTick, finalPollEnd_ - now));
        case Phase::Repeat:
            // Either side answers every AHOY, so repeating it toward the learned address until a
            // completion starts makes good any answer the network lost.
            if (facts.completionStarted) return end(Action::Wait);
            if (cancelled || now >= deadline_) return end(Action::Fail);
            return wait(facts.remoteAddressKnown ? Action::RepeatAhoy : Action::Wait, Phase::Repeat,
                        now + pace_.repeatInterval);
        case Phase::Over:
            break;
    }
    return Step{};
}

}  // namespace kl

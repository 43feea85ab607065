#include "tunnel/protocol/TunnexHolePunchHandshake.h"

namespace kl {
namespace {

using Decision = TunnexHolePunchDecision;
using Reply = Decision::Reply;

Decision onHandoff(TunnexHolePunchWord word, const TunnexHolePunchFacts& facts) {
    Decision decision;
    if (facts.completionStarted) {
        decision.ignored = "the connection was settled";
        return decision;
    }
    switch (word) {
        case TunnexHolePunchWord::Ahoy:
            // A repeat is answered again: the answer to the first may have been lost.
            decision.reply = facts.originator ? Reply::Ahoy : Reply::Confirm;
            break;
        case TunnexHolePunchWord::Confirm:
            decision.markWaitingForAcceptance = true;
            if (facts.confirmedBefore) {
                decision.ignored = "an additional confirmation";
            } else if (facts.originator) {
                decision.reply = Reply::Accept;
                decision.complete = true;
            }
            break;
        case TunnexHolePunchWord::Accept:
            if (facts.originator && !facts.waitingForAcceptance) {
                decision.ignored = "an acceptance before any confirmation";
            } else {
                decision.complete = true;
            }
            break;
        case TunnexHolePunchWord::TransportHandshake:
            if (facts.originator) {
                decision.ignored = "the originator waits for no acceptance";
            } else if (!facts.fromConfirmedEndpoint) {
                decision.ignored = "not from the endpoint this side confirmed";
            } else {
                decision.complete = true;
            }
            break;
    }
    return decision;
}

// A fresh socket answered one source and waits for its confirmation or acceptance: the first of
// them (or the remote's transport) ends the wait, and the socket carries the completion.
Decision onFresh(TunnexHolePunchWord word, const TunnexHolePunchFacts& facts) {
    Decision decision;
    switch (word) {
        case TunnexHolePunchWord::Ahoy:
            break;
        case TunnexHolePunchWord::Confirm:
            // The acceptance goes back the way the confirmation came, so that both sides connect
            // over the same pair of sockets.
            decision.markWaitingForAcceptance = true;
            decision.reply = Reply::Accept;
            decision.complete = true;
            decision.endsWait = true;
            break;
        case TunnexHolePunchWord::Accept:
            decision.complete = true;
            decision.endsWait = true;
            break;
        case TunnexHolePunchWord::TransportHandshake:
            decision.endsWait = true;
            decision.complete = !facts.originator && facts.fromConfirmedEndpoint;
            break;
    }
    return decision;
}

}  // namespace

TunnexHolePunchDecision decideTunnexHolePunch(TunnexHolePunchWord word, TunnexHolePunchPath path,
                                              const TunnexHolePunchFacts& facts) {
    return path == TunnexHolePunchPath::Handoff ? onHandoff(word, facts) : onFresh(word, facts);
}

}  // namespace kl

// The hole-punch handshake's decisions for each word, side and way of arrival, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tunnel/protocol/TunnexHolePunchHandshake.h"

namespace kl {
namespace {

using Word = TunnexHolePunchWord;
using Path = TunnexHolePunchPath;
using Reply = TunnexHolePunchDecision::Reply;

// reply/complete/endsWait/ignored in one line, e.g. "accept+complete".
std::string text(const TunnexHolePunchDecision& decision) {
    std::string out;
    auto add = [&](const char* part) { out += std::string(out.empty() ? "" : "+") + part; };
    if (decision.reply == Reply::Ahoy) add("ahoy");
    if (decision.reply == Reply::Confirm) add("confirm");
    if (decision.reply == Reply::Accept) add("accept");
    if (decision.markWaitingForAcceptance) add("waiting");
    if (decision.complete) add("complete");
    if (decision.endsWait) add("ends");
    if (decision.ignored) add("ignored");
    return out.empty() ? "-" : out;
}

TEST(HolePunchHandshake, EachWordOnEachPathForEachSide) {
    struct Case {
        const char* name;
        Word word;
        Path path;
        TunnexHolePunchFacts facts;
        const char* expected;
    };
    const bool originator = true, responder = false;
    const std::vector<Case> cases = {
        {"the originator answers an AHOY with an AHOY", Word::Ahoy, Path::Handoff, {originator}, "ahoy"},
        {"the responder answers an AHOY with a CONFIRM", Word::Ahoy, Path::Handoff, {responder}, "confirm"},
        {"the originator accepts the first CONFIRM and connects", Word::Confirm, Path::Handoff, {originator},
         "accept+waiting+complete"},
        {"the responder notes a CONFIRM and waits", Word::Confirm, Path::Handoff, {responder}, "waiting"},
        {"a second CONFIRM is only noted", Word::Confirm, Path::Handoff, {originator, false, true},
         "waiting+ignored"},
        {"the responder connects on ACCEPT", Word::Accept, Path::Handoff, {responder}, "complete"},
        {"an originator not yet confirmed takes no ACCEPT", Word::Accept, Path::Handoff, {originator}, "ignored"},
        {"an originator that was confirmed connects on ACCEPT", Word::Accept, Path::Handoff,
         {originator, false, true, true}, "complete"},
        {"the transport from the confirmed endpoint stands for a lost ACCEPT", Word::TransportHandshake,
         Path::Handoff, {responder, false, false, false, true}, "complete"},
        {"the transport from elsewhere stands for nothing", Word::TransportHandshake, Path::Handoff, {responder},
         "ignored"},
        {"the originator waits for no acceptance", Word::TransportHandshake, Path::Handoff,
         {originator, false, false, false, true}, "ignored"},
        {"after the completion started nothing on the handoff socket counts", Word::Confirm, Path::Handoff,
         {originator, true}, "ignored"},
        {"after the completion started an ACCEPT does not count either", Word::Accept, Path::Handoff,
         {responder, true}, "ignored"},
        {"a CONFIRM on a fresh socket is accepted the way it came", Word::Confirm, Path::Fresh, {originator},
         "accept+waiting+complete+ends"},
        {"an ACCEPT on a fresh socket connects", Word::Accept, Path::Fresh, {responder}, "complete+ends"},
        {"an AHOY on a fresh socket keeps the wait", Word::Ahoy, Path::Fresh, {responder}, "-"},
        {"the transport on a fresh socket from the confirmed endpoint connects", Word::TransportHandshake,
         Path::Fresh, {responder, false, false, false, true}, "complete+ends"},
        {"the transport on a fresh socket from elsewhere only ends the wait", Word::TransportHandshake,
         Path::Fresh, {responder}, "ends"},
        {"the originator's fresh socket ends its wait on the transport", Word::TransportHandshake, Path::Fresh,
         {originator, false, false, false, true}, "ends"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(text(decideTunnexHolePunch(c.word, c.path, c.facts)), c.expected);
    }
}

}  // namespace
}  // namespace kl

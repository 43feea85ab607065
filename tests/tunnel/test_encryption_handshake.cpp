// The key exchange's decisions, message by message, without sockets or keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tunnel/protocol/TunnexEncryptionHandshake.h"

namespace kl {
namespace {

using Handshake = TunnexEncryptionHandshake;
using Step = Handshake::Step;

enum class In { Will, Wont, Key, BadKey, Ack, Wrapped, BadWrapped };

Handshake::Steps feed(Handshake& handshake, In input) {
    switch (input) {
        case In::Will: return handshake.remoteWillEncrypt();
        case In::Wont: return handshake.remoteWontEncrypt();
        case In::Key: return handshake.takesPublicKey() ? handshake.remotePublicKey(true) : Handshake::Steps{Step::Ignored};
        case In::BadKey: return handshake.takesPublicKey() ? handshake.remotePublicKey(false) : Handshake::Steps{Step::Ignored};
        case In::Ack: return handshake.remoteAcknowledged();
        case In::Wrapped: return handshake.takesWrappedKey() ? handshake.remoteWrappedKey(true) : Handshake::Steps{Step::Ignored};
        case In::BadWrapped: return handshake.takesWrappedKey() ? handshake.remoteWrappedKey(false) : Handshake::Steps{Step::Ignored};
    }
    return {};
}

std::string text(const Handshake::Steps& steps) {
    static const char* const names[] = {"key", "ack", "wrapped", "up", "failed", "ignored"};
    std::string out;
    for (Step step : steps) out += std::string(out.empty() ? "" : "+") + names[int(step)];
    return out.empty() ? "-" : out;
}

TEST(EncryptionHandshake, EachMessageLeadsToTheStepsOfTheExchange) {
    struct Case {
        const char* name;
        bool want;
        std::vector<In> inputs;
        std::vector<std::string> steps;  // per input
        bool up, encrypted;
    };
    const std::vector<Case> cases = {
        {"both want: the full exchange", true,
         {In::Will, In::Key, In::Ack, In::Wrapped},
         {"key", "ack", "wrapped", "up"}, true, true},
        {"an acknowledgement ahead of the remote's value holds the wrapped key until agreed", true,
         {In::Will, In::Ack, In::Key, In::Wrapped},
         {"key", "-", "ack+wrapped", "up"}, true, true},
        {"the remote's value ahead of its wish (messages are not held to order)", true,
         {In::Key, In::Will, In::Ack, In::Wrapped},
         {"ack", "key", "wrapped", "up"}, true, true},
        {"this side wants, the remote does not: up in plain", true, {In::Wont}, {"up"}, true, false},
        {"this side does not want: up in plain on the remote's wish", false, {In::Will}, {"up"}, true, false},
        {"a refused public value fails without an acknowledgement", true, {In::Will, In::BadKey}, {"key", "failed"},
         false, true},
        {"a wrapped key that does not unwrap fails", true, {In::Will, In::Key, In::Ack, In::BadWrapped},
         {"key", "ack", "wrapped", "failed"}, false, true},
        {"a wrapped key before agreement fails", true, {In::Will, In::Wrapped}, {"key", "failed"}, false, true},
        {"key messages on a plain tunnel are not believed", false, {In::Will, In::Key, In::Ack, In::Wrapped},
         {"up", "ignored", "ignored", "ignored"}, true, false},
        {"a second wrapped key once up is not believed", true,
         {In::Will, In::Key, In::Ack, In::Wrapped, In::Wrapped, In::Wont},
         {"key", "ack", "wrapped", "up", "ignored", "ignored"}, true, true},
        {"a repeated public value is not acknowledged twice", true, {In::Will, In::Key, In::Key},
         {"key", "ack", "ignored"}, false, true},
        {"a repeated wish sends the value once", true, {In::Will, In::Will}, {"key", "ignored"}, false, true},
        {"nothing after a failure counts", true, {In::Will, In::BadKey, In::Wont, In::Key},
         {"key", "failed", "ignored", "ignored"}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Handshake handshake(c.want);
        ASSERT_EQ(c.inputs.size(), c.steps.size());
        for (size_t i = 0; i < c.inputs.size(); ++i) {
            EXPECT_EQ(text(feed(handshake, c.inputs[i])), c.steps[i]) << "input " << i;
        }
        EXPECT_EQ(handshake.connected(), c.up);
        EXPECT_EQ(handshake.usingEncryption(), c.encrypted);
    }
}

}  // namespace
}  // namespace kl

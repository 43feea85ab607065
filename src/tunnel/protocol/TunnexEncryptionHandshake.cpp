#include "tunnel/protocol/TunnexEncryptionHandshake.h"

namespace kl {

using Step = TunnexEncryptionHandshake::Step;

TunnexEncryptionHandshake::Steps TunnexEncryptionHandshake::remoteWillEncrypt() {
    if (phase_ == Phase::Up || phase_ == Phase::Failed) return {Step::Ignored};
    using_ = want_;
    if (!using_) {
        phase_ = Phase::Up;
        return {Step::Connected};
    }
    if (phase_ == Phase::Exchanging) return {Step::Ignored};  // the value is out already
    phase_ = Phase::Exchanging;
    return {Step::SendPublicKey};
}

TunnexEncryptionHandshake::Steps TunnexEncryptionHandshake::remoteWontEncrypt() {
    if (phase_ == Phase::Up || phase_ == Phase::Failed) return {Step::Ignored};
    using_ = false;
    phase_ = Phase::Up;
    return {Step::Connected};
}

TunnexEncryptionHandshake::Steps TunnexEncryptionHandshake::remotePublicKey(bool agreed) {
    if (!takesPublicKey()) return {Step::Ignored};
    if (!agreed) {
        // The acknowledgement that would make the remote send its key is withheld.
        phase_ = Phase::Failed;
        return {Step::Failed};
    }
    agreed_ = true;
    if (!acknowledgedEarly_) return {Step::SendAcknowledgement};
    acknowledgedEarly_ = false;
    return {Step::SendAcknowledgement, Step::SendWrappedKey};
}

TunnexEncryptionHandshake::Steps TunnexEncryptionHandshake::remoteAcknowledged() {
    if (!takesKeyMessages()) return {Step::Ignored};
    if (!agreed_) {
        acknowledgedEarly_ = true;
        return {};
    }
    return {Step::SendWrappedKey};
}

TunnexEncryptionHandshake::Steps TunnexEncryptionHandshake::remoteWrappedKey(bool unwrapped) {
    if (!takesKeyMessages()) return {Step::Ignored};
    // A wrapped key can only follow this side's acknowledgement, sent once agreed.
    if (!unwrapped || !agreed_) {
        phase_ = Phase::Failed;
        return {Step::Failed};
    }
    using_ = true;
    phase_ = Phase::Up;
    return {Step::Connected};
}

}  // namespace kl

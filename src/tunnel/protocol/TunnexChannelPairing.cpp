#include "tunnel/protocol/TunnexChannelPairing.h"

#include <algorithm>

namespace kl {

TunnexChannelPairing::TimePoint TunnexChannelPairing::connectNotBefore(bool remoteComplete) const {
    if (!opened_ || remoteComplete) return TimePoint{};
    return completed_ + kRemoteCompletionAllowance;
}

TunnexChannelPairing::TimePoint TunnexChannelPairing::announceNotBefore(bool remoteDecided) const {
    if (!opened_ || !remoteRequested_ || remoteDecided) return TimePoint{};
    return completed_ + kRemoteDecisionAllowance;
}

TunnexChannelPairing::TimePoint TunnexChannelPairing::connected(uint32_t ownHash, bool requesting, TimePoint now) {
    ownHash_ = ownHash;
    requesting_ = requesting;
    completed_ = now;
    opened_ = true;
    // An answerer met a requester; a requester that knows a remote hash without a channel met one
    // too (the remote answers nothing while its own request is open). Only a requester that knows
    // of none may yet learn of a crossing request.
    if (!requesting || !remoteWaiting_.empty()) return now;
    return now + kCrossingSettle;
}

uint32_t TunnexChannelPairing::decide() {
    remoteRequested_ = !requesting_ || !remoteWaiting_.empty();
    uint32_t owner = ownHash_;
    if (!remoteWaiting_.empty()) owner = std::min(owner, *remoteWaiting_.begin());
    remoteWaiting_.erase(owner);
    return owner;
}

}  // namespace kl

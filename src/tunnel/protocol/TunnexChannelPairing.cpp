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

uint32_t TunnexChannelPairing::decide(uint32_t ownHash, bool requesting, TimePoint now) {
    completed_ = now;
    opened_ = true;
    uint32_t owner = ownHash;
    if (requesting) {
        // A remote hash known now crossed this request (the remote answers nothing while its own
        // request is open); its connect met this one.
        remoteRequested_ = !remoteWaiting_.empty();
        if (!remoteWaiting_.empty()) owner = std::min(owner, *remoteWaiting_.begin());
    } else {
        remoteRequested_ = true;
    }
    remoteWaiting_.erase(owner);
    return owner;
}

}  // namespace kl

#include "daemon/PWSignInThrottle.h"

#include <cmath>

#include "foundation/KLTLogging.h"

namespace kl {

bool PWSignInThrottle::shouldAttemptSignIn(double now, bool attemptingSignIn) const {
    if (attemptingSignIn) return false;
    return std::fabs(now - lastSignInDate_) >= kPauseSeconds;
}

void PWSignInThrottle::registerSignInDate(double now) {
    std::vector<double> earlier = times_->queueArray();
    if (earlier.size() >= kCapacity) {
        // The gaps between the queued times plus the gap to now: the span from the oldest to now.
        double span = 0;
        for (size_t i = 1; i < earlier.size(); ++i) span += earlier[i] - earlier[i - 1];
        span += now - earlier.back();
        KLLog(kKLTLoggingLevelDebug, "timeIntervalSum: %f", span);
        lastSignInDate_ = span > 2 * kCapacity * kPauseSeconds ? kDistantPast : now;
    } else {
        lastSignInDate_ = kDistantPast;
    }
    times_->pushObject(now);
}

}  // namespace kl

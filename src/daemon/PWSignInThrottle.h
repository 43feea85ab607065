// The pause between automatic sign-in attempts: the first three go at once; once three attempts
// lie within 1080 seconds of now, the next one waits 180 seconds after the latest.
#pragma once

#include <memory>

#include "foundation/KLTQueue.h"

namespace kl {

class PWSignInThrottle {
public:
    static constexpr double kPauseSeconds = 180.0;
    static constexpr unsigned kCapacity = 3;

    PWSignInThrottle() : times_(KLTQueue<double>::initWithCount(kCapacity)) {}

    // now: seconds on any steady scale. No attempt while a sign-in request is in flight.
    bool shouldAttemptSignIn(double now, bool attemptingSignIn) const;
    void registerSignInDate(double now);

private:
    static constexpr double kDistantPast = -1e18;
    std::unique_ptr<KLTQueue<double>> times_;
    double lastSignInDate_ = kDistantPast;
};

}  // namespace kl

#include "screen/input/RateLimitedLog.h"

#include "foundation/KLTLogging.h"

namespace kl {

bool RateLimitedLog::log(const std::string& line, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (logged_ == 0 || now - start_ >= interval_) {
        if (suppressed_ > 0) KLLog(kKLTLoggingLevelError, "%d similar lines left out", suppressed_);
        start_ = now;
        logged_ = 0;
        suppressed_ = 0;
    }
    if (logged_ >= limit_) {
        ++suppressed_;
        return false;
    }
    ++logged_;
    KLLog(kKLTLoggingLevelError, "%s", line.c_str());
    return true;
}

}  // namespace kl

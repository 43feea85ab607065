// Log lines for refused datagrams, limited so a flood of them cannot flood the log: at most a few
// lines per interval, then one line saying how many were left out.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace kl {

class RateLimitedLog {
public:
    using Clock = std::chrono::steady_clock;
    explicit RateLimitedLog(int linesPerInterval = 5, Clock::duration interval = std::chrono::seconds(10))
        : limit_(linesPerInterval), interval_(interval) {}
    // Logs line at error level unless this interval's lines are spent; true when it was logged.
    bool log(const std::string& line, Clock::time_point now = Clock::now());

private:
    int limit_;
    Clock::duration interval_;
    std::mutex mutex_;
    Clock::time_point start_{};
    int logged_ = 0;
    int suppressed_ = 0;
};

}  // namespace kl

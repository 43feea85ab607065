// KLTTimer: a repeating timer whose block runs on the global queue at a fixed rate until cancelled.
// Ticks never overlap; after cancelIfNeeded() or destruction returns, no tick starts, and a tick in
// progress on another thread has finished (a block may cancel or destroy its own timer).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kl {

class KLTTimer {
public:
    using Block = std::function<void()>;

    KLTTimer(double intervalSeconds, Block block);
    ~KLTTimer();
    KLTTimer(const KLTTimer&) = delete;
    KLTTimer& operator=(const KLTTimer&) = delete;

    // Starts ticking one interval from now; does nothing while running or without a block.
    void startIfNeeded();
    void cancelIfNeeded();
    bool isRunning() const;

    // Changes apply at the next start.
    const Block& timerBlock() const { return block_; }
    void setTimerBlock(Block block) { block_ = std::move(block); }
    int64_t dispatchInterval() const { return intervalNs_; }
    void setDispatchInterval(int64_t nanoseconds) { intervalNs_ = nanoseconds; }

private:
    struct Source;
    Block block_;
    int64_t intervalNs_;
    std::shared_ptr<Source> source_;
};

}  // namespace kl

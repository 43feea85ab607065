// KLTTimer: a repeating timer whose block runs on the global queue at a fixed rate until cancelled.
// Ticks never overlap; after cancelIfNeeded() or destruction returns, no tick starts, and a tick in
// progress on another thread has finished. A block may cancel its own timer; start and cancel may
// be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

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
    mutable std::mutex ownerMutex_;  // guards source_: a tick may cancel its own timer
    std::shared_ptr<Source> source_;
};

}  // namespace kl

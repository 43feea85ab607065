#include "foundation/KLTTimer.h"

#include <asio/steady_timer.hpp>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Executors.h"

namespace kl {

// One running stream of ticks. Shared with the pending timer handler, so a tick that outlives its
// KLTTimer still finds its state.
struct KLTTimer::Source : std::enable_shared_from_this<Source> {
    Source(Block b, Duration i) : timer(globalQueue().pool().get_executor()), block(std::move(b)), interval(i) {}

    void schedule() {  // mutex held
        deadline += interval;
        auto now = Clock::now();
        while (deadline <= now) deadline += interval;
        timer.expires_at(deadline);
        timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) self->tick();
        });
    }

    void tick() {
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            ticking = true;
            tickThread = std::this_thread::get_id();
        }
        block();
        std::lock_guard lock(mutex);
        ticking = false;
        tickThread = {};
        done.notify_all();
        if (!cancelled) schedule();
    }

    void cancel() {
        std::unique_lock lock(mutex);
        cancelled = true;
        timer.cancel();
        // Wait for a tick running elsewhere; a tick cancelling its own timer must not wait for itself.
        if (tickThread != std::this_thread::get_id()) done.wait(lock, [&] { return !ticking; });
    }

    std::mutex mutex;
    std::condition_variable done;
    asio::steady_timer timer;
    Block block;
    Duration interval;
    Clock::time_point deadline;
    bool cancelled = false;
    bool ticking = false;
    std::thread::id tickThread;
};

KLTTimer::KLTTimer(double intervalSeconds, Block block)
    : block_(std::move(block)), intervalNs_(int64_t(intervalSeconds * 1e9)) {}

KLTTimer::~KLTTimer() { cancelIfNeeded(); }

void KLTTimer::startIfNeeded() {
    std::lock_guard owner(ownerMutex_);
    if (source_ || !block_) return;
    auto interval = std::max<Duration>(std::chrono::nanoseconds(intervalNs_), std::chrono::milliseconds(1));
    source_ = std::make_shared<Source>(block_, interval);
    std::lock_guard lock(source_->mutex);
    source_->deadline = Clock::now();
    source_->schedule();
}

void KLTTimer::cancelIfNeeded() {
    std::shared_ptr<Source> source;
    {
        // Taken out under the lock but cancelled outside it: cancel() waits for a running tick,
        // and that tick may itself call cancelIfNeeded().
        std::lock_guard owner(ownerMutex_);
        source.swap(source_);
    }
    if (source) source->cancel();
}

bool KLTTimer::isRunning() const {
    std::lock_guard owner(ownerMutex_);
    return source_ != nullptr;
}

}  // namespace kl

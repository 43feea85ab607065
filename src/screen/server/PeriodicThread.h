// A thread of its own that runs a task at a fixed rate until stopped (the cursor tick). Stopping
// wakes it at once and joins it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kl {

class PeriodicThread {
public:
    PeriodicThread(std::chrono::nanoseconds interval, std::function<void()> task)
        : mInterval(interval), mTask(std::move(task)), mThread([this] { run(); }) {}
    ~PeriodicThread() { stop(); }
    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

    void stop() {
        {
            std::lock_guard lock(mMutex);
            mStopping = true;
        }
        mWake.notify_all();
        if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
    }

private:
    void run() {
        auto next = std::chrono::steady_clock::now();
        std::unique_lock lock(mMutex);
        while (!mStopping) {
            next += mInterval;
            if (mWake.wait_until(lock, next, [this] { return mStopping; })) break;
            lock.unlock();
            mTask();
            lock.lock();
            // A late tick does not make up for the ones it missed.
            auto now = std::chrono::steady_clock::now();
            if (now - next > mInterval) next = now;
        }
    }

    std::chrono::nanoseconds mInterval;
    std::function<void()> mTask;
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mStopping = false;  // under mMutex
    std::thread mThread;
};

}  // namespace kl

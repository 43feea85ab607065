// The threading model shared by every program: one main loop, serial queues, and one global pool.
//
//  - MainLoop stands in for the main run loop and the main queue. Each program owns exactly one
//    (kl::mainLoop()); tests may create their own.
//  - SerialQueue stands in for a serial dispatch or operation queue: an asio strand on the global
//    pool, so work on one queue never runs concurrently and keeps its order.
//  - globalQueue() stands in for the global concurrent queues. Its pool has the default size, two
//    threads per core (KL_GLOBAL_POOL_THREADS overrides it, for tests): nothing posted here waits
//    for long. Channel openings, tunnel sends, life checks, bridge passes, name lookups and the
//    screen server's exchanges go on from callbacks and timers instead of holding a thread.
//  - Loops that block by design (accept, datagram receive, select and poll loops, the HTTP thread)
//    never run here: they own a std::jthread each.
#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kl {

using Task = std::function<void()>;
using Clock = std::chrono::steady_clock;
using Duration = std::chrono::steady_clock::duration;

// The pool's default size: two threads per core.
unsigned defaultGlobalPoolThreads();
// The most threads KL_GLOBAL_POOL_THREADS may ask for.
inline constexpr unsigned kGlobalPoolMaxThreads = 256;

// A handle to scheduled work; cancel() guarantees the work does not start afterwards (work already
// running is not interrupted). Copies share the same scheduled work. Destroying a handle does not
// cancel.
class CancelHandle {
public:
    CancelHandle() = default;
    explicit CancelHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
    void cancel() const {
        if (cancelled_) cancelled_->store(true);
    }
    bool cancelled() const { return !cancelled_ || cancelled_->load(); }
    bool valid() const { return cancelled_ != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

class MainLoop {
public:
    MainLoop();
    virtual ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    virtual void post(Task task);
    virtual CancelHandle after(Duration delay, Task task);
    // Repeats at a fixed rate (deadline += interval); a late tick does not make later ones overlap.
    virtual CancelHandle every(Duration interval, Task task);

    // Runs until stop() is called. Work posted before run() is kept.
    virtual void run();
    virtual void stop();
    // Runs until predicate() is true (checked after every handler and at least every 10 ms) or the
    // timeout passes; returns the last value of predicate(). For tests.
    virtual bool runUntil(const std::function<bool()>& predicate, Duration timeout);

    // True on the thread that is currently running this loop (a GUI loop: on its GUI thread).
    virtual bool isCurrentThread() const;

    asio::io_context& context() { return io_; }

private:
    void scheduleRepeat(std::shared_ptr<struct RepeatState> state);

    asio::io_context io_;
    std::atomic<std::thread::id> runner_{};
};

// The program's main loop, created on first use and never destroyed.
MainLoop& mainLoop();
// Makes loop the program's main loop (a GUI program brings its own). Refused, returning false,
// once mainLoop() has been used or another loop was installed. The loop is never destroyed.
bool installMainLoop(std::unique_ptr<MainLoop> loop);

class SerialQueue {
public:
    // label is for diagnostics only.
    explicit SerialQueue(std::string label = {});
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task);
    // Runs task and waits for it; runs inline when called from work already on this queue.
    void sync(const Task& task);
    CancelHandle after(Duration delay, Task task);
    bool isCurrent() const;
    const std::string& label() const { return label_; }

private:
    std::string label_;
    asio::strand<asio::thread_pool::executor_type> strand_;
};

class GlobalQueue {
public:
    void async(Task task);
    CancelHandle after(Duration delay, Task task);
    asio::thread_pool& pool() { return pool_; }
    unsigned threadCount() const { return threads_; }
    // A program's orderly stop, once its own work is wound down: work not yet started is dropped,
    // running work finishes and the threads are joined, so none outlives main's statics. False
    // when some work did not finish within limit (its thread is then left running).
    bool shutdown(std::chrono::milliseconds limit);

    GlobalQueue();

private:
    unsigned threads_;
    asio::thread_pool pool_;
};

// The process-wide pool, created on first use and never destroyed.
GlobalQueue& globalQueue();

}  // namespace kl

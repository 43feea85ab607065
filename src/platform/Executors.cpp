#include "platform/Executors.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace kl {

namespace {

template <class Executor>
CancelHandle scheduleAfter(const Executor& executor, Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto timer = std::make_shared<asio::steady_timer>(executor, delay);
    timer->async_wait([timer, cancelled, task = std::move(task)](const std::error_code& ec) {
        if (!ec && !cancelled->load()) task();
    });
    return CancelHandle(cancelled);
}

}  // namespace

struct RepeatState {
    explicit RepeatState(asio::io_context& io) : timer(io) {}
    asio::steady_timer timer;
    Duration interval{};
    Clock::time_point deadline;
    Task task;
    std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
};

MainLoop::MainLoop() = default;
MainLoop::~MainLoop() = default;

void MainLoop::post(Task task) { asio::post(io_, std::move(task)); }

CancelHandle MainLoop::after(Duration delay, Task task) {
    return scheduleAfter(io_.get_executor(), delay, std::move(task));
}

CancelHandle MainLoop::every(Duration interval, Task task) {
    auto state = std::make_shared<RepeatState>(io_);
    state->interval = std::max(interval, Duration(std::chrono::milliseconds(1)));
    state->deadline = Clock::now() + state->interval;
    state->task = std::move(task);
    CancelHandle handle(state->cancelled);
    scheduleRepeat(state);
    return handle;
}

void MainLoop::scheduleRepeat(std::shared_ptr<RepeatState> state) {
    state->timer.expires_at(state->deadline);
    state->timer.async_wait([this, state](const std::error_code& ec) {
        if (ec || state->cancelled->load()) return;
        state->task();
        if (state->cancelled->load()) return;
        // Fixed rate: the next deadline is the next multiple of the interval still in the future.
        auto now = Clock::now();
        do state->deadline += state->interval;
        while (state->deadline <= now);
        scheduleRepeat(state);
    });
}

void MainLoop::run() {
    auto guard = asio::make_work_guard(io_);
    runner_.store(std::this_thread::get_id());
    io_.restart();
    io_.run();
    runner_.store(std::thread::id());
}

void MainLoop::stop() { io_.stop(); }

bool MainLoop::runUntil(const std::function<bool()>& predicate, Duration timeout) {
    auto guard = asio::make_work_guard(io_);
    auto end = Clock::now() + timeout;
    runner_.store(std::this_thread::get_id());
    io_.restart();
    bool done = predicate();
    while (!done && Clock::now() < end && !io_.stopped()) {
        auto slice = std::min<Duration>(std::chrono::milliseconds(10), end - Clock::now());
        io_.run_one_for(slice);
        done = predicate();
    }
    runner_.store(std::thread::id());
    return done;
}

bool MainLoop::isCurrentThread() const { return runner_.load() == std::this_thread::get_id(); }

namespace {

// The installed or default main loop; never destroyed, since other threads may post at exit.
std::atomic<MainLoop*> theMainLoop{nullptr};
std::mutex theMainLoopMutex;

}  // namespace

MainLoop& mainLoop() {
    if (MainLoop* loop = theMainLoop.load(std::memory_order_acquire)) return *loop;
    std::lock_guard lock(theMainLoopMutex);
    if (!theMainLoop.load(std::memory_order_relaxed)) theMainLoop.store(new MainLoop(), std::memory_order_release);
    return *theMainLoop.load(std::memory_order_relaxed);
}

bool installMainLoop(std::unique_ptr<MainLoop> loop) {
    if (!loop) return false;
    std::lock_guard lock(theMainLoopMutex);
    if (theMainLoop.load(std::memory_order_relaxed)) return false;
    theMainLoop.store(loop.release(), std::memory_order_release);
    return true;
}

namespace {

// KL_GLOBAL_POOL_THREADS (a whole number from 1 to kGlobalPoolMaxThreads) overrides the size, so
// tests can run with a small pool and find the work that still holds a thread.
unsigned globalPoolThreads() {
    if (const char* text = std::getenv("KL_GLOBAL_POOL_THREADS")) {
        char* end = nullptr;
        errno = 0;
        const unsigned long wanted = std::strtoul(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && wanted >= 1 && wanted <= kGlobalPoolMaxThreads) {
            return unsigned(wanted);
        }
        std::fprintf(stderr, "KL_GLOBAL_POOL_THREADS=%s ignored: not a thread count from 1 to %u\n", text,
                     kGlobalPoolMaxThreads);
    }
    return defaultGlobalPoolThreads();
}

}  // namespace

unsigned defaultGlobalPoolThreads() {
    return 2 * std::max(1u, std::thread::hardware_concurrency());
}

GlobalQueue::GlobalQueue() : threads_(globalPoolThreads()), pool_(threads_) {}

void GlobalQueue::async(Task task) { asio::post(pool_, std::move(task)); }

CancelHandle GlobalQueue::after(Duration delay, Task task) {
    return scheduleAfter(pool_.get_executor(), delay, std::move(task));
}

bool GlobalQueue::shutdown(std::chrono::milliseconds limit) {
    pool_.stop();
    auto joined = std::make_shared<std::promise<void>>();
    auto done = joined->get_future();
    std::thread joiner([this, joined] {
        pool_.join();
        joined->set_value();
    });
    if (done.wait_for(limit) != std::future_status::ready) {
        joiner.detach();
        return false;
    }
    joiner.join();
    return true;
}

GlobalQueue& globalQueue() {
    static GlobalQueue* queue = new GlobalQueue();  // never destroyed
    return *queue;
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), strand_(asio::make_strand(globalQueue().pool().get_executor())) {}

void SerialQueue::async(Task task) { asio::post(strand_, std::move(task)); }

void SerialQueue::sync(const Task& task) {
    if (strand_.running_in_this_thread()) {
        task();
        return;
    }
    std::promise<void> done;
    asio::post(strand_, [&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

CancelHandle SerialQueue::after(Duration delay, Task task) {
    return scheduleAfter(strand_, delay, std::move(task));
}

bool SerialQueue::isCurrent() const { return strand_.running_in_this_thread(); }

}  // namespace kl

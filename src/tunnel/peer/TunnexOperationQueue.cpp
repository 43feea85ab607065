#include "tunnel/peer/TunnexOperationQueue.h"

#include <future>

namespace kl {

TunnexOperationQueue::TunnexOperationQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {}

// What waits is cancelled (its waiters released); an operation already running finishes on the
// state it shares with its drain task.
TunnexOperationQueue::~TunnexOperationQueue() { cancelAllOperations(); }

void TunnexOperationQueue::addOperation(Task run, Task onCancel) {
    bool startDrain = false;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->pending.push_back({std::move(run), std::move(onCancel)});
        if (!state_->draining && !state_->suspended) state_->draining = startDrain = true;
    }
    if (startDrain) globalQueue().async([state = state_] { drain(state); });
}

bool TunnexOperationQueue::addOperationAndWait(const Task& run) {
    if (isCurrent()) {
        run();
        return true;
    }
    auto outcome = std::make_shared<std::promise<bool>>();
    std::future<bool> done = outcome->get_future();
    addOperation(
        [run, outcome] {
            run();
            outcome->set_value(true);
        },
        [outcome] { outcome->set_value(false); });
    return done.get();
}

bool TunnexOperationQueue::runNowIfIdle(const Task& task) {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        if (state_->draining || state_->suspended || !state_->pending.empty()) return false;
        state_->draining = state_->running = true;
        state_->runner = std::this_thread::get_id();
    }
    task();
    bool startDrain = false;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->running = false;
        state_->runner = {};
        startDrain = !state_->pending.empty() && !state_->suspended;
        state_->draining = startDrain;
        if (!startDrain) state_->idle.notify_all();
    }
    if (startDrain) globalQueue().async([state = state_] { drain(state); });
    return true;
}

void TunnexOperationQueue::suspend() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->suspended = true;
}

void TunnexOperationQueue::resume(Task first) {
    bool startDrain = false;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->suspended = false;
        if (first) state_->pending.push_front({std::move(first), {}});
        if (!state_->draining && !state_->pending.empty()) state_->draining = startDrain = true;
    }
    if (startDrain) globalQueue().async([state = state_] { drain(state); });
}

bool TunnexOperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->suspended;
}

size_t TunnexOperationQueue::operationCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->pending.size() + (state_->running ? 1 : 0);
}

void TunnexOperationQueue::cancelAllOperations() {
    std::deque<Operation> cancelled;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        cancelled.swap(state_->pending);
        state_->idle.notify_all();
    }
    for (auto& operation : cancelled) {
        if (operation.onCancel) operation.onCancel();
    }
}

void TunnexOperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->running && state_->runner == std::this_thread::get_id()) return;
    state_->idle.wait(lock, [&] { return state_->pending.empty() && !state_->running; });
}

bool TunnexOperationQueue::isCurrent() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->running && state_->runner == std::this_thread::get_id();
}

void TunnexOperationQueue::drain(const std::shared_ptr<State>& state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->pending.empty() && !state->suspended) {
        Operation operation = std::move(state->pending.front());
        state->pending.pop_front();
        state->running = true;
        state->runner = std::this_thread::get_id();
        lock.unlock();
        operation.run();
        operation = {};  // release what the operation captured before the queue reports idle
        lock.lock();
        state->running = false;
        state->runner = {};
    }
    state->draining = false;
    state->idle.notify_all();
}

}  // namespace kl

#include "platform/WorkerThread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <utility>

namespace kl {

struct WorkerThread::State {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::deque<Task> jobs;  // guarded by mutex
    size_t pending = 0;     // posted and not finished; guarded by mutex
};

WorkerThread::WorkerThread(std::string label)
    : label_(std::move(label)),
      state_(std::make_shared<State>()),
      thread_([state = state_](std::stop_token stop) { run(stop, state); }) {}

WorkerThread::~WorkerThread() {
    thread_.request_stop();
    if (isCurrent()) thread_.detach();  // the thread holds the state and ends after this job
    else thread_.join();
}

void WorkerThread::post(Task job) {
    {
        std::lock_guard guard(state_->mutex);
        state_->jobs.push_back(std::move(job));
        ++state_->pending;
    }
    state_->wake.notify_one();
}

bool WorkerThread::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

size_t WorkerThread::pendingCount() const {
    std::lock_guard guard(state_->mutex);
    return state_->pending;
}

void WorkerThread::run(const std::stop_token& stop, const std::shared_ptr<State>& state) {
    for (;;) {
        Task job;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, stop, [&] { return !state->jobs.empty(); });
            if (stop.stop_requested()) return;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
        }
        job();
        job = nullptr;  // whatever it held goes before the count says it is done
        std::lock_guard guard(state->mutex);
        --state->pending;
    }
}

}  // namespace kl

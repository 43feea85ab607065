// A thread of its own for jobs that block by design (a name lookup, an exchange with a peer that
// may stay silent), so none of them holds a worker of the global pool. Jobs run one at a time, in
// the order they were posted.
//
// Destroying the worker drops the jobs not yet started and joins the thread once the running job
// returns; destroyed from inside one of its own jobs (a job that drops its owner's last
// reference), it lets the thread end on its own after that job.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/Executors.h"

namespace kl {

class WorkerThread {
public:
    // label is for diagnostics only.
    explicit WorkerThread(std::string label = {});
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void post(Task job);
    // True on the worker's thread.
    bool isCurrent() const;
    // Jobs posted and not yet finished.
    size_t pendingCount() const;
    const std::string& label() const { return label_; }

private:
    struct State;
    static void run(const std::stop_token& stop, const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
    std::jthread thread_;           // last: starts after every other member is ready
};

}  // namespace kl

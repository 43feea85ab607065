// A serial queue of operations that can be counted, cancelled and waited for: each tunnel socket
// sends on one and bridges on another. Operations run one at a time, in the order they were
// added, on the global pool.
//
// Cancelling removes the operations that have not started and runs their cancellation handlers,
// so a caller blocked in addOperationAndWait() is always released: one closing channel cannot
// leave a waiter (such as a socket-core pass) blocked for ever.
//
// An operation that cannot finish its work now (a send that found the channel's window full)
// suspends the queue instead of waiting on its thread: what is queued behind it stays queued,
// and counted, until whoever learns that the work can go on resumes the queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Executors.h"

namespace kl {

class TunnexOperationQueue {
public:
    explicit TunnexOperationQueue(std::string label = {});
    ~TunnexOperationQueue();
    TunnexOperationQueue(const TunnexOperationQueue&) = delete;
    TunnexOperationQueue& operator=(const TunnexOperationQueue&) = delete;

    // Queues run; onCancel (may be empty) runs instead when the operation is cancelled unstarted.
    void addOperation(Task run, Task onCancel = {});
    // Queues run and waits until it ran (true) or was cancelled (false). Runs inline when called
    // from an operation of this queue, which would otherwise wait for itself.
    bool addOperationAndWait(const Task& run);
    // Runs task at once on the caller's thread, as an operation of this queue, when none waits,
    // runs or is suspended; false (task not run) otherwise. Operations added meanwhile run after it.
    bool runNowIfIdle(const Task& task);
    // Operations waiting or running.
    size_t operationCount() const;
    // Stops the queue after the operation now running (call it from there); what waits stays
    // queued until resume().
    void suspend();
    // Ends a suspension; first (if any) runs before everything that waits.
    void resume(Task first = {});
    bool isSuspended() const;
    // Drops every operation that has not started, running the cancellation handlers.
    void cancelAllOperations();
    // Blocks until no operation waits or runs (a suspended queue with work waiting counts as busy);
    // returns at once when called from this queue.
    void waitUntilAllOperationsAreFinished();
    // True on the thread running one of this queue's operations.
    bool isCurrent() const;
    const std::string& label() const { return label_; }

private:
    struct Operation {
        Task run;
        Task onCancel;
    };
    // Shared with the drain task, so an operation that drops the last reference to the queue's
    // owner (and so the queue) does not pull the state from under the running drain.
    struct State {
        std::mutex mutex;
        std::condition_variable idle;
        std::deque<Operation> pending;  // guarded by mutex
        bool draining = false;          // a drain task is scheduled or running; guarded by mutex
        bool running = false;           // an operation runs now; guarded by mutex
        bool suspended = false;         // guarded by mutex
        std::thread::id runner;         // guarded by mutex
    };
    static void drain(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
};

}  // namespace kl

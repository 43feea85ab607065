// The socket core's event machinery: the registry of wishes (which events of which descriptor a
// core socket wants, and the callback for them), one select thread that waits for them, and the
// result passes that hand each ready descriptor to its callback.
//
// Threads and locks:
//  - The select thread (a std::jthread owned by the process's one OSXSel) waits for a token on a
//    pipe, takes a snapshot of the wishes, and waits in poll(2) for them and for the pipe. When
//    descriptors are ready it publishes them and submits a result pass to kl::globalQueue(); it
//    then waits for the next token, which the pass writes when it ends. So one pass runs at a time
//    and the thread does no work unless a token or a descriptor wakes it. A worker that ends a pass
//    looks once more without waiting and, while descriptors are ready (a busy stream), runs up to
//    64 passes in a row before handing back, which spares two thread hand-overs per pass.
//  - A registration outside a pass writes a token (the wish changed, take the snapshot afresh); one
//    made during a pass writes none: the pass's final token covers it.
//  - The input lock guards only the wishes the thread snapshots. The output lock (the core lock) is
//    a plain mutex, held for a whole result pass, so every callback of the core runs under it and
//    calls straight back into the core. No entry point of the core takes it: each requires its
//    caller to hold it (and aborts with a message when it does not), and taking it while holding
//    it aborts too instead of deadlocking. A thread outside a pass (a pool task, a queue, a test)
//    takes it once with SocketCoreLock around the step that touches core sockets. Lock order: the
//    output lock may be held while the input lock is taken, never the reverse.
//  - Token writes never block: the pipe's write end is non-blocking, and a full pipe already
//    holds a token that will wake the thread.
//
// A wait that fails is retried on a fresh snapshot and never published. A descriptor that was
// closed while still registered is dropped from the wait (with an error in the log) rather than
// reported over and over. Events are delivered only to the registration that was snapshotted, so
// a descriptor number closed and reused during a pass does not hand a stale event to its new owner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tunnel/sockcore/tree234.h"

namespace kl {

// Event bits of a wish and of a callback's event argument.
enum : int {
    SELECT_R = 1,  // readable
    SELECT_W = 2,  // writable
    SELECT_X = 4,  // exceptional (urgent data)
};

// Called with (descriptor, event) in a result pass, under the core lock; its result is ignored.
using uxsel_callback_fn = int (*)(int fd, int event);

// The core's output lock: a plain mutex that knows which thread holds it, so that a missing or a
// second acquisition fails loudly instead of racing or deadlocking.
class CoreLock {
public:
    void lock();
    bool try_lock();
    void unlock();
    bool heldByCurrentThread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

class OSXSel {
public:
    // The process's one instance; its thread starts on first use and runs for the rest of the process.
    static OSXSel& shared();
    ~OSXSel();
    OSXSel(const OSXSel&) = delete;
    OSXSel& operator=(const OSXSel&) = delete;

    // The registry's operations require the core lock.
    // Registers or replaces the wish for fd (rwx of SELECT_*; 0 keeps the registration but waits
    // for nothing).
    void set(int fd, int rwx, uxsel_callback_fn callback);
    // Forgets fd; no callback for it runs after this returns (under the core lock).
    void del(int fd);
    // Leaves fd's wish out of the wait for a while (it stays registered): for a descriptor that
    // stays ready but cannot be served yet, such as a listener while the process is out of
    // descriptors. Needs no timer or descriptor of its own: the wait itself times out.
    void pause(int fd, std::chrono::milliseconds delay);
    // Calls fd's callback with event; an unregistered descriptor is ignored (result 1).
    int selectResult(int fd, int event);
    // Walks the registry in descriptor order; -1 at the end.
    int firstFd(int* state, int* rwx);
    int nextFd(int* state, int* rwx);

    CoreLock& outLock() { return outlock_; }

    // Diagnostics: tokens written to the pipe, waits started, result passes run.
    uint64_t tokenCount() const { return tokens_.load(); }
    uint64_t waitCount() const { return waits_.load(); }
    uint64_t passCount() const { return passes_.load(); }

private:
    struct Wish {
        int rwx = 0;
        uint64_t id = 0;  // the registration the wish belongs to
        std::chrono::steady_clock::time_point pausedUntil{};
    };
    enum class WaitResult { Failed, Ready, PipeOnly, Nothing };
    struct Ready {
        int fd;
        int rwx;
        uint64_t id;
    };
    struct Record;

    OSXSel();
    void runThread(std::stop_token stop);
    bool awaitToken();
    WaitResult snapshotAndWait(std::vector<Ready>& ready, bool blocking);
    void processResults();
    void runPass();
    int deliver(int fd, int event, uint64_t id);
    void inputAdd(int fd, int rwx, uint64_t id);
    void prune(int fd, uint64_t id);
    void writeToken();
    Record* findRecord(int fd);

    int pipe_[2] = {-1, -1};

    std::mutex inlock_;
    std::vector<Wish> wishes_;  // by descriptor; guarded by inlock_
    int inmax_ = 0;             // one more than the highest descriptor ever registered; never decreases

    CoreLock outlock_;
    tree234* fds_;               // Record*, by descriptor; guarded by outlock_
    uint64_t nextId_ = 0;        // guarded by outlock_
    std::vector<Ready> out_;     // the last wait's results; guarded by outlock_

    std::atomic<bool> inhibitStartSelect_{false};  // set while a result pass runs
    std::atomic<bool> passPending_{false};         // from submitting a pass until it ends
    std::atomic<uint64_t> tokens_{0};
    std::atomic<uint64_t> waits_{0};
    std::atomic<uint64_t> passes_{0};

    std::jthread thread_;  // last: starts after every other member is ready
};

// Holds the core lock for its scope; for threads that call into core sockets outside a pass. Taking
// it inside a pass (or under another SocketCoreLock) aborts.
class SocketCoreLock {
public:
    SocketCoreLock();
    ~SocketCoreLock();
    SocketCoreLock(const SocketCoreLock&) = delete;
    SocketCoreLock& operator=(const SocketCoreLock&) = delete;
};

// The registry's and the machinery's entry points (the registry's require the core lock).
void uxsel_init();
void uxsel_set(int fd, int rwx, uxsel_callback_fn callback);
void uxsel_del(int fd);
int select_result(int fd, int event);
int first_fd(int* state, int* rwx);
int next_fd(int* state, int* rwx);
// Starts the select thread (once per process; later calls do nothing).
void osxsel_init();
void osxsel_write_lock();
void osxsel_write_unlock();
// True when the calling thread holds the core lock.
bool osxsel_write_lock_held();
// Aborts with a message naming where unless the calling thread holds the core lock: every entry
// point of the core starts with it.
void assertCoreLockHeld(const char* where);

}  // namespace kl

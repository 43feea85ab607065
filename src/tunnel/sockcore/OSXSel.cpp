#include "tunnel/sockcore/OSXSel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/sockcore/SafeMemory.h"

namespace kl {

struct OSXSel::Record {
    int fd;
    int rwx;
    uxsel_callback_fn callback;
    uint64_t id;
};

namespace {

constexpr double kSlowLockSeconds = 0.1;
constexpr int kMaxPassesPerDispatch = 64;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

unsigned threadNumber() { return unsigned(::gettid()); }

int recordCmp(void* a, void* b) {
    int x = static_cast<int*>(a)[0], y = static_cast<int*>(b)[0];  // fd is a record's first field
    return x < y ? -1 : x > y ? 1 : 0;
}

int recordFindCmp(void* key, void* elem) { return recordCmp(key, elem); }

// Which wished-for events a poll result stands for. A hang-up or error counts as readable and
// writable (as select reports it), so the owner's next read or write meets the failure.
int eventsFromPoll(int wanted, short revents) {
    int rwx = 0;
    if ((revents & POLLPRI) && (wanted & SELECT_X)) rwx |= SELECT_X;
    if ((revents & POLLIN) && (wanted & SELECT_R)) rwx |= SELECT_R;
    if ((revents & POLLOUT) && (wanted & SELECT_W)) rwx |= SELECT_W;
    if (revents & (POLLERR | POLLHUP)) {
        rwx |= wanted & (SELECT_R | SELECT_W);
        if (!(wanted & (SELECT_R | SELECT_W))) rwx |= wanted & SELECT_X;
    }
    return rwx;
}

short pollEvents(int rwx) {
    short events = 0;
    if (rwx & SELECT_R) events |= POLLIN;
    if (rwx & SELECT_W) events |= POLLOUT;
    if (rwx & SELECT_X) events |= POLLPRI;
    return events;
}

// A second acquisition by the same thread would deadlock, and a missing one would let two threads
// into the core's tables: both stop the process with a message rather than hang or corrupt.
[[noreturn]] void coreLockFault(const char* message, const char* where) {
    std::fprintf(stderr, "socket core lock: %s (%s)\n", message, where);  // the log may be syslog
    KLAssertFailed("socket core lock: %s (%s)", message, where);
    std::abort();
}

}  // namespace

void CoreLock::lock() {
    if (heldByCurrentThread()) coreLockFault("taken again by the thread that holds it", "lock");
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool CoreLock::try_lock() {
    if (heldByCurrentThread()) coreLockFault("taken again by the thread that holds it", "try_lock");
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

void CoreLock::unlock() {
    if (!heldByCurrentThread()) coreLockFault("released by a thread that does not hold it", "unlock");
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
}

OSXSel& OSXSel::shared() {
    static OSXSel* instance = new OSXSel();  // never destroyed: the thread runs for the process
    return *instance;
}

OSXSel::OSXSel() : fds_(newtree234(recordCmp)) {
    // The pool that runs the passes exists before the first pass, which may come when the process
    // is out of descriptors.
    globalQueue();
    if (::pipe2(pipe_, O_CLOEXEC) < 0) {
        pipe_[0] = pipe_[1] = -1;
        fatalbox("Unable to set up inter-thread pipe for select");
    } else {
        ::fcntl(pipe_[1], F_SETFL, ::fcntl(pipe_[1], F_GETFL) | O_NONBLOCK);
    }
    // No token yet: the first registration writes the first one.
    thread_ = std::jthread([this](std::stop_token stop) { runThread(stop); });
}

OSXSel::~OSXSel() {
    thread_.request_stop();
    writeToken();
    if (thread_.joinable()) thread_.join();
    while (auto* rec = static_cast<Record*>(delpos234(fds_, 0))) delete rec;
    freetree234(fds_);
    for (int fd : pipe_) {
        if (fd >= 0) ::close(fd);
    }
}

void OSXSel::writeToken() {
    if (pipe_[1] < 0) return;
    ssize_t n;
    do {
        n = ::write(pipe_[1], "g", 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) tokens_.fetch_add(1);
    // EAGAIN: the pipe is full of tokens already, one of which will wake the thread.
}

OSXSel::Record* OSXSel::findRecord(int fd) { return static_cast<Record*>(find234(fds_, &fd, recordFindCmp)); }

void OSXSel::set(int fd, int rwx, uxsel_callback_fn callback) {
    assertCoreLockHeld("uxsel_set");
    if (fd < 0) {
        KLLog(kKLTLoggingLevelError, "uxsel_set: refusing descriptor %d", fd);
        return;
    }
    Record* rec = findRecord(fd);
    if (!rec) {
        rec = new Record{fd, rwx, callback, ++nextId_};
        add234(fds_, rec);
    }
    rec->rwx = rwx;
    rec->callback = callback;
    inputAdd(fd, rwx, rec->id);
}

void OSXSel::del(int fd) {
    assertCoreLockHeld("uxsel_del");
    Record* rec = findRecord(fd);
    if (!rec) return;
    inputAdd(fd, 0, rec->id);
    del234(fds_, rec);
    delete rec;
}

int OSXSel::selectResult(int fd, int event) {
    assertCoreLockHeld("select_result");
    Record* rec = findRecord(fd);
    if (!rec) return 1;
    return rec->callback(fd, event);
}

int OSXSel::deliver(int fd, int event, uint64_t id) {
    Record* rec = findRecord(fd);
    if (!rec || rec->id != id) return 1;  // forgotten, or a new registration on a reused number
    uxsel_callback_fn callback = rec->callback;
    try {
        return callback(fd, event);
    } catch (const std::exception& e) {
        KLLog(kKLTLoggingLevelError, "select: callback for descriptor %d failed: %s", fd, e.what());
    } catch (...) {
        KLLog(kKLTLoggingLevelError, "select: callback for descriptor %d failed", fd);
    }
    return 1;
}

int OSXSel::firstFd(int* state, int* rwx) {
    *state = 0;
    return nextFd(state, rwx);
}

int OSXSel::nextFd(int* state, int* rwx) {
    assertCoreLockHeld("next_fd");
    auto* rec = static_cast<Record*>(index234(fds_, (*state)++));
    if (!rec) return -1;
    *rwx = rec->rwx;
    return rec->fd;
}

void OSXSel::pause(int fd, std::chrono::milliseconds delay) {
    if (fd < 0) return;
    {
        std::lock_guard<std::mutex> guard(inlock_);
        if (size_t(fd) >= wishes_.size()) return;
        wishes_[size_t(fd)].pausedUntil = std::chrono::steady_clock::now() + delay;
    }
    if (!inhibitStartSelect_.load()) writeToken();
}

void OSXSel::inputAdd(int fd, int rwx, uint64_t id) {
    auto start = std::chrono::steady_clock::now();
    bool changed;
    {
        std::lock_guard<std::mutex> guard(inlock_);
        if (size_t(fd) >= wishes_.size()) wishes_.resize(size_t(fd) + 1);
        Wish& wish = wishes_[size_t(fd)];
        changed = wish.rwx != rwx || (rwx != 0 && wish.id != id);
        auto pausedUntil = wish.id == id ? wish.pausedUntil : std::chrono::steady_clock::time_point{};
        wish = Wish{rwx, id, pausedUntil};
        if (inmax_ < fd + 1) inmax_ = fd + 1;
    }
    double held = secondsSince(start);
    if (held > kSlowLockSeconds) {
        KLLog(kKLTLoggingLevelDebug, "uxsel_input_add() inlock duration:  %f  thread: %u", held, threadNumber());
    }
    // An unchanged wish would give the thread the very snapshot it already waits on.
    if (changed && !inhibitStartSelect_.load()) writeToken();
}

void OSXSel::prune(int fd, uint64_t id) {
    bool stillRegistered = false;
    {
        std::lock_guard<std::mutex> guard(inlock_);
        if (size_t(fd) < wishes_.size() && wishes_[size_t(fd)].id == id) {
            stillRegistered = wishes_[size_t(fd)].rwx != 0;
            wishes_[size_t(fd)].rwx = 0;
        }
    }
    // A socket forgets its descriptor and then closes it while this thread may still wait on an
    // older snapshot: that is the normal order and no fault. Only a close without forgetting is.
    if (stillRegistered) {
        KLLog(kKLTLoggingLevelError, "select: descriptor %d was closed while still registered; no longer waiting for it", fd);
    } else {
        KLLog(kKLTLoggingLevelVerbose, "select: descriptor %d was forgotten and closed during a wait", fd);
    }
}

bool OSXSel::awaitToken() {
    char tokens[256];
    for (;;) {
        ssize_t n = ::read(pipe_[0], tokens, sizeof tokens);  // collects every token already there
        if (n > 0) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// One snapshot and one wait: blocking (the select thread, until a descriptor, the pipe or the end
// of a pause), or a look without waiting (a worker that has just ended a pass). Ready: descriptors
// to publish in `ready`.
OSXSel::WaitResult OSXSel::snapshotAndWait(std::vector<Ready>& ready, bool blocking) {
    thread_local std::vector<pollfd> polled;
    thread_local std::vector<uint64_t> ids;
    polled.clear();
    ids.clear();
    auto start = std::chrono::steady_clock::now();
    auto resume = std::chrono::steady_clock::time_point::max();
    {
        std::lock_guard<std::mutex> guard(inlock_);
        for (int fd = 0; fd < inmax_; ++fd) {
            const Wish& wish = wishes_[size_t(fd)];
            if (wish.rwx == 0) continue;
            if (wish.pausedUntil > start) {
                resume = std::min(resume, wish.pausedUntil);
                continue;
            }
            polled.push_back(pollfd{fd, pollEvents(wish.rwx), 0});
            ids.push_back(wish.id);
        }
    }
    double held = secondsSince(start);
    if (held > kSlowLockSeconds) {
        KLLog(kKLTLoggingLevelDebug, "runThread: inlock duration:  %f  thread: %u", held, threadNumber());
    }
    if (blocking) polled.push_back(pollfd{pipe_[0], POLLIN, 0});
    int timeoutMs = blocking ? -1 : 0;
    if (blocking && resume != std::chrono::steady_clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(resume - std::chrono::steady_clock::now());
        timeoutMs = int(std::max<int64_t>(1, left.count()));
    }

    if (blocking) waits_.fetch_add(1);
    int result = ::poll(polled.data(), nfds_t(polled.size()), timeoutMs);
    if (result < 0) {
        int err = errno;
        if (err != EINTR) KLLog(kKLTLoggingLevelError, "select: poll failed: %s", strerrordesc_np(err));
        if (err == ENOMEM) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return WaitResult::Failed;
    }

    ready.clear();
    bool pipeReady = blocking && polled.back().revents != 0;
    size_t watched = blocking ? polled.size() - 1 : polled.size();
    for (size_t i = 0; i < watched; ++i) {
        short revents = polled[i].revents;
        if (revents == 0) continue;
        if (revents & POLLNVAL) {
            prune(polled[i].fd, ids[i]);
            continue;
        }
        int wanted = (polled[i].events & POLLIN ? SELECT_R : 0) | (polled[i].events & POLLOUT ? SELECT_W : 0) |
                     (polled[i].events & POLLPRI ? SELECT_X : 0);
        int rwx = eventsFromPoll(wanted, revents);
        if (rwx) ready.push_back(Ready{polled[i].fd, rwx, ids[i]});
    }
    if (!ready.empty()) return WaitResult::Ready;
    return pipeReady ? WaitResult::PipeOnly : WaitResult::Nothing;
}

void OSXSel::runThread(std::stop_token stop) {
    std::vector<Ready> ready;
    bool needToken = true;
    while (!stop.stop_requested()) {
        if (needToken) {
            if (!awaitToken()) {
                // No pipe, or it failed: try again a second later.
                for (int i = 0; i < 10 && !stop.stop_requested(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            if (stop.stop_requested()) break;
            // A pass is still to run or running: its final token starts the next cycle.
            if (passPending_.load()) continue;
        }
        needToken = true;

        switch (snapshotAndWait(ready, true)) {
        case WaitResult::Ready: break;
        case WaitResult::PipeOnly: continue;  // its token is read above and the wishes taken afresh
        case WaitResult::Failed:              // retry on a fresh snapshot
        case WaitResult::Nothing:             // a pause ran out, or only pruned descriptors: no token may come
            needToken = false;
            continue;
        }

        auto start = std::chrono::steady_clock::now();
        {
            std::lock_guard<CoreLock> guard(outlock_);
            out_.swap(ready);
        }
        double held = secondsSince(start);
        if (held > kSlowLockSeconds) {
            KLLog(kKLTLoggingLevelDebug, "runThread: outlock duration:  %f  thread: %u", held, threadNumber());
        }
        passPending_.store(true);
        globalQueue().async([this] { processResults(); });
    }
}

void OSXSel::processResults() {
    inhibitStartSelect_.store(true);
    std::vector<Ready> next;
    for (int round = 1;; ++round) {
        runPass();
        // Descriptors that are ready again by now (a busy stream) get the next pass here at once,
        // sparing the hand-over to the select thread and back; it waits again when nothing is
        // ready, or after a run of passes so that a busy core still takes new wishes in turn.
        if (round >= kMaxPassesPerDispatch || snapshotAndWait(next, false) != WaitResult::Ready) break;
        std::lock_guard<CoreLock> guard(outlock_);
        out_.swap(next);
    }
    passPending_.store(false);
    inhibitStartSelect_.store(false);
    writeToken();
}

void OSXSel::runPass() {
    auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<CoreLock> guard(outlock_);
        // Exceptional first, then readable, then writable; the bound is read again after each
        // call. A callback that forgets its descriptor gets no further call in this pass.
        for (int event : {SELECT_X, SELECT_R, SELECT_W}) {
            for (size_t i = 0; i < out_.size(); ++i) {
                if (out_[i].rwx & event) deliver(out_[i].fd, event, out_[i].id);
            }
        }
        out_.clear();
    }
    double held = secondsSince(start);
    if (held > kSlowLockSeconds) {
        KLLog(kKLTLoggingLevelVerbose, "osxsel_process_results() outlock duration:  %f  thread: %u", held,
              threadNumber());
    }
    passes_.fetch_add(1);
}

SocketCoreLock::SocketCoreLock() { osxsel_write_lock(); }
SocketCoreLock::~SocketCoreLock() { osxsel_write_unlock(); }

void uxsel_init() { OSXSel::shared(); }
void uxsel_set(int fd, int rwx, uxsel_callback_fn callback) { OSXSel::shared().set(fd, rwx, callback); }
void uxsel_del(int fd) { OSXSel::shared().del(fd); }
int select_result(int fd, int event) { return OSXSel::shared().selectResult(fd, event); }
int first_fd(int* state, int* rwx) { return OSXSel::shared().firstFd(state, rwx); }
int next_fd(int* state, int* rwx) { return OSXSel::shared().nextFd(state, rwx); }
void osxsel_init() { OSXSel::shared(); }
void osxsel_write_lock() { OSXSel::shared().outLock().lock(); }
void osxsel_write_unlock() { OSXSel::shared().outLock().unlock(); }
bool osxsel_write_lock_held() { return OSXSel::shared().outLock().heldByCurrentThread(); }

void assertCoreLockHeld(const char* where) {
    if (!osxsel_write_lock_held()) coreLockFault("required but not held", where);
}

}  // namespace kl

#include "foundation/ipc/IPCSession.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <vector>

#include "foundation/KLTLogging.h"

namespace kl::ipc {

using Clock = std::chrono::steady_clock;

struct IPCPoller::Core {
    explicit Core(std::string name) : label(std::move(name)) { wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~Core() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void drainWake() {
        uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
    }

    void run();
    void add(std::shared_ptr<IPCSession::State> state);
    void remove(const IPCSession::State* state);
    // Runs step for state unless it has been removed or has ended, marked busy meanwhile so that
    // remove() can wait for it.
    template <class Step>
    void serve(const std::shared_ptr<IPCSession::State>& state, Step step);

    bool overBudget() const { return backlog.load() > kMaxPollerBacklogBytes; }

    const std::string label;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> backlog{0};  // bytes charged by sessions' owners, not yet handled

    std::mutex mutex;  // guards the fields below
    std::condition_variable served;
    std::vector<std::shared_ptr<IPCSession::State>> states;
    const IPCSession::State* busy = nullptr;
    std::thread::id thread;
};

struct IPCSession::State {
    State(int socketFd, std::filesystem::path path, SessionCallbacks cb, std::shared_ptr<IPCPoller::Core> p)
        : fd(socketFd), connectPath(std::move(path)), callbacks(std::move(cb)), poller(std::move(p)) {}
    ~State() {
        if (fd >= 0) ::close(fd);
    }

    void wake() { poller->wake(); }

    bool connect();
    // Before polling: takes what was queued, writes it, ends the session on overflow or an expired
    // frame deadline. The events to poll for (0: leave the socket out).
    short prepare(Clock::time_point now);
    void service(short revents, Clock::time_point now);
    bool writePass();
    bool readPass(Clock::time_point now);
    void finish(const std::string& reason);

    int fd;
    std::filesystem::path connectPath;  // empty for an accepted socket
    SessionCallbacks callbacks;
    const std::shared_ptr<IPCPoller::Core> poller;
    std::atomic<bool> stopping{false};

    std::mutex mutex;  // guards the fields below
    std::deque<Bytes> queue;
    size_t queuedBytes = 0;
    uint64_t framesQueued = 0;
    bool ended = false;
    bool overflow = false;
    bool readingPaused = false;

    std::atomic<uint64_t> framesWritten{0};  // written by the poller only

    // Poller only.
    bool established = false;
    bool finished = false;
    bool paused = false;
    bool frameTimeout = false;  // accepted peers must keep to kFrameTimeout
    bool gotFrame = false;
    std::optional<Clock::time_point> frameDeadline;
    std::deque<Bytes> writing;
    size_t writeOffset = 0;
    FrameReader reader;
};

namespace {

// Waits on the poller's wake descriptor (and optionally the socket); false when the session is stopping.
bool waitBriefly(IPCSession::State& s, int socketFd, short socketEvents, int timeoutMs) {
    pollfd fds[2] = {{s.poller->wakeFd, POLLIN, 0}, {socketFd, socketEvents, 0}};
    ::poll(fds, socketFd >= 0 ? 2 : 1, timeoutMs);
    if (fds[0].revents & POLLIN) s.poller->drainWake();
    return !s.stopping.load() && !s.poller->stopping.load();
}

}  // namespace

void IPCSession::State::finish(const std::string& reason) {
    finished = true;
    {
        std::lock_guard lock(mutex);
        ended = true;
        queue.clear();
        queuedBytes = 0;
    }
    if (!stopping.load() && callbacks.ended) callbacks.ended(reason, established);
    // The peer learns at once (after the owner has logged why); the descriptor itself closes when
    // the session is dropped.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool IPCSession::State::connect() {
    auto socketFd = makeStreamSocket();
    if (!socketFd) {
        finish(socketFd.error().description());
        return false;
    }
    fd = *socketFd;
    auto deadline = Clock::now() + kConnectRetryLimit;
    for (;;) {
        int err = connectToPath(fd, connectPath);
        if (err == EINPROGRESS) {
            // Not what AF_UNIX does today, but harmless to handle: wait, then read the outcome.
            if (!waitBriefly(*this, fd, POLLOUT, 100)) return false;
            socklen_t length = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
            if (err == 0) break;
        }
        if (err == 0 || err == EISCONN) break;
        if (err == EAGAIN && Clock::now() < deadline) {
            // The listener's backlog is full: it is alive but slow to accept.
            if (!waitBriefly(*this, -1, 0, 20)) return false;
            continue;
        }
        finish("cannot connect to " + connectPath.native() + ": " + std::strerror(err));
        return false;
    }
    established = true;
    auto credentials = peerCredentials(fd);
    if (callbacks.connected && !stopping.load()) callbacks.connected(credentials ? *credentials : PeerCredentials{});
    return true;
}

// Writes queued frames until done or the socket is full. False when the session ended.
bool IPCSession::State::writePass() {
    uint64_t before = framesWritten;
    while (!writing.empty()) {
        const Bytes& frame = writing.front();
        ssize_t n = ::send(fd, frame.data() + writeOffset, frame.size() - writeOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            finish(std::string("write failed: ") + std::strerror(errno));
            return false;
        }
        writeOffset += size_t(n);
        if (writeOffset < frame.size()) continue;
        size_t size = frame.size();
        writing.pop_front();
        writeOffset = 0;
        ++framesWritten;
        std::lock_guard lock(mutex);
        queuedBytes -= std::min(queuedBytes, size);
    }
    if (framesWritten != before && callbacks.written && !stopping.load()) callbacks.written(framesWritten);
    return true;
}

// Reads what is there (one buffer's worth, so one busy peer cannot hold the poller) and hands out
// every complete frame. False when the session ended.
bool IPCSession::State::readPass(Clock::time_point now) {
    uint8_t buffer[64 * 1024];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) {
        finish("the peer closed the connection");
        return false;
    }
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return true;
        finish(std::string("read failed: ") + std::strerror(errno));
        return false;
    }
    reader.append(buffer, size_t(n));
    bool completed = false;
    for (;;) {
        Frame frame;
        std::string error;
        switch (reader.next(frame, error)) {
        case FrameReader::Status::NeedMore:
            if (frameTimeout) {
                // A frame started must be finished in time; one completed restarts the clock.
                if (reader.buffered() == 0 && gotFrame) frameDeadline.reset();
                else if (completed || !frameDeadline) frameDeadline = now + kFrameTimeout;
            }
            return true;
        case FrameReader::Status::Bad: finish("bad frame from the peer: " + error); return false;
        case FrameReader::Status::GotFrame:
            completed = gotFrame = true;
            if (stopping.load()) return false;
            if (callbacks.frame) {
                // What the frame costs the receiver: its bytes, or what it decoded to if more.
                size_t cost = std::max(frame.wireSize, frame.decodedSize);
                callbacks.frame(std::move(frame), cost);
            }
            break;
        }
    }
}

short IPCSession::State::prepare(Clock::time_point now) {
    bool overflowed;
    size_t overflowBytes;
    {
        std::lock_guard lock(mutex);
        overflowed = overflow;
        overflowBytes = queuedBytes;
        while (!queue.empty()) {
            writing.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        paused = readingPaused;
    }
    paused = paused || poller->overBudget();
    if (overflowed) {
        finish("the peer is not reading (" + std::to_string(overflowBytes) + " bytes waiting)");
        return 0;
    }
    if (frameTimeout) {
        // A peer we do not read from is not late: its clock runs only while we listen.
        if (paused) frameDeadline.reset();
        else if (!frameDeadline && (!gotFrame || reader.buffered() > 0)) frameDeadline = now + kFrameTimeout;
        if (frameDeadline && now >= *frameDeadline) {
            finish("no complete frame within " + std::to_string(kFrameTimeout.count()) + " s");
            return 0;
        }
    }
    if (!writing.empty() && !writePass()) return 0;
    // A paused session with nothing to write leaves the socket out, so that a peer that hung up
    // does not make poll return at once forever.
    return short((paused ? 0 : POLLIN) | (writing.empty() ? 0 : POLLOUT));
}

void IPCSession::State::service(short revents, Clock::time_point now) {
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) && !writing.empty() && !writePass()) return;
    // The backlog may have filled since prepare(), from another session's frames.
    if (!paused && !poller->overBudget() && (revents & (POLLIN | POLLERR | POLLHUP))) readPass(now);
}

template <class Step>
void IPCPoller::Core::serve(const std::shared_ptr<IPCSession::State>& state, Step step) {
    {
        std::lock_guard lock(mutex);
        if (state->stopping.load() || state->finished) return;
        busy = state.get();
    }
    step();
    {
        std::lock_guard lock(mutex);
        busy = nullptr;
    }
    served.notify_all();
}

void IPCPoller::Core::add(std::shared_ptr<IPCSession::State> state) {
    {
        std::lock_guard lock(mutex);
        states.push_back(std::move(state));
    }
    wake();
}

void IPCPoller::Core::remove(const IPCSession::State* state) {
    std::unique_lock lock(mutex);
    std::erase_if(states, [state](const auto& s) { return s.get() == state; });
    if (std::this_thread::get_id() == thread) return;  // from one of its own callbacks
    wake();                                             // a connect in progress gives up at once
    served.wait(lock, [&] { return busy != state; });
}

void IPCPoller::Core::run() {
    std::vector<std::shared_ptr<IPCSession::State>> live, polled;
    std::vector<pollfd> fds;
    while (!stopping.load()) {
        {
            std::lock_guard lock(mutex);
            std::erase_if(states, [](const auto& s) { return s->finished; });
            live = states;
        }
        polled.clear();
        fds.assign(1, pollfd{wakeFd, POLLIN, 0});
        auto now = Clock::now();
        std::optional<Clock::time_point> wakeAt;
        for (const auto& state : live) {
            serve(state, [&] {
                if (!state->established && (state->connectPath.empty() || !state->connect())) return;
                short events = state->prepare(now);
                if (state->finished) return;
                if (state->frameDeadline && (!wakeAt || *state->frameDeadline < *wakeAt)) wakeAt = state->frameDeadline;
                if (events == 0) return;
                fds.push_back(pollfd{state->fd, events, 0});
                polled.push_back(state);
            });
        }
        int timeoutMs = -1;
        if (wakeAt) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
            timeoutMs = int(std::clamp<int64_t>(left, 0, 60'000));
        }
        int count = ::poll(fds.data(), fds.size(), timeoutMs);
        if (count < 0 && errno != EINTR) {
            KLLog(kKLTLoggingLevelError, "klipc: poll failed (%s): %s", label.c_str(), std::strerror(errno));
            ::usleep(100'000);  // nothing to do but try again; the sessions stay
            continue;
        }
        if (fds[0].revents & POLLIN) drainWake();
        now = Clock::now();
        for (size_t i = 0; i < polled.size(); ++i) {
            short revents = fds[i + 1].revents;
            if (revents) serve(polled[i], [&] { polled[i]->service(revents, now); });
        }
        // Drop the references here, on this thread, so a session dropped meanwhile closes now.
        live.clear();
        polled.clear();
    }
    std::lock_guard lock(mutex);
    states.clear();
}

IPCPoller::IPCPoller(std::string label) : core_(std::make_shared<Core>(std::move(label))) {
    std::lock_guard lock(core_->mutex);  // the thread's id is known before it serves anything
    thread_ = std::thread([core = core_] { core->run(); });
    core_->thread = thread_.get_id();
}

IPCPoller::~IPCPoller() {
    core_->stopping.store(true);
    core_->wake();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();  // the core goes when the thread ends
    else thread_.join();
}

IPCSession::IPCSession(std::shared_ptr<State> state, std::shared_ptr<IPCPoller> poller)
    : state_(std::move(state)), poller_(std::move(poller)) {
    poller_->core_->add(state_);
}

std::shared_ptr<IPCSession> IPCSession::startAccepted(int fd, SessionCallbacks callbacks, std::shared_ptr<IPCPoller> poller) {
    if (!poller) poller = std::make_shared<IPCPoller>("klipc.accepted");
    auto state = std::make_shared<State>(fd, std::filesystem::path(), std::move(callbacks), poller->core_);
    state->established = true;
    state->frameTimeout = true;
    return std::shared_ptr<IPCSession>(new IPCSession(std::move(state), std::move(poller)));
}

std::shared_ptr<IPCSession> IPCSession::startConnecting(std::filesystem::path path, SessionCallbacks callbacks) {
    auto poller = std::make_shared<IPCPoller>("klipc.client");
    auto state = std::make_shared<State>(-1, std::move(path), std::move(callbacks), poller->core_);
    return std::shared_ptr<IPCSession>(new IPCSession(std::move(state), std::move(poller)));
}

IPCSession::~IPCSession() { stop(); }

bool IPCSession::send(Bytes frame) {
    bool accepted;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->ended || state_->overflow) return false;
        accepted = state_->queuedBytes + frame.size() <= kMaxQueuedOutputBytes;
        if (accepted) {
            state_->queuedBytes += frame.size();
            state_->queue.push_back(std::move(frame));
            ++state_->framesQueued;
        } else {
            state_->overflow = true;  // the poller ends the session
        }
    }
    state_->wake();
    return accepted;
}

uint64_t IPCSession::framesWritten() const { return state_->framesWritten.load(); }

uint64_t IPCSession::framesQueued() const {
    std::lock_guard lock(state_->mutex);
    return state_->framesQueued;
}

void IPCSession::setReadingPaused(bool paused) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->readingPaused == paused) return;
        state_->readingPaused = paused;
    }
    state_->wake();
}

std::shared_ptr<void> IPCSession::chargeBacklog(size_t cost) {
    auto core = poller_->core_;
    core->backlog += cost;
    // Any non-null pointer will do: the token is its deleter.
    return std::shared_ptr<void>(core.get(), [core, cost](void*) {
        size_t before = core->backlog.fetch_sub(cost);
        if (before > kMaxPollerBacklogBytes && before - cost <= kMaxPollerBacklogBytes) core->wake();
    });
}

void IPCSession::stop() {
    state_->stopping.store(true);
    poller_->core_->remove(state_.get());
}

}  // namespace kl::ipc

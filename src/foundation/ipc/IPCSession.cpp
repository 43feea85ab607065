#include "foundation/ipc/IPCSession.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl::ipc {

struct IPCSession::State {
    State(int socketFd, std::filesystem::path path, SessionCallbacks cb)
        : fd(socketFd), connectPath(std::move(path)), callbacks(std::move(cb)) {
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~State() {
        if (fd >= 0) ::close(fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    void run();
    bool connect();
    bool writePass();
    bool readPass();
    void finish(const std::string& reason);

    int fd;
    int wakeFd = -1;
    std::filesystem::path connectPath;  // empty for an accepted socket
    SessionCallbacks callbacks;
    std::atomic<bool> stopping{false};
    bool established = false;  // thread only

    std::mutex mutex;  // guards the fields below
    std::deque<Bytes> queue;
    size_t queuedBytes = 0;
    uint64_t framesQueued = 0;
    bool ended = false;
    bool overflow = false;
    bool readingPaused = false;

    std::atomic<uint64_t> framesWritten{0};  // written by the thread only

    // Thread only.
    std::deque<Bytes> writing;
    size_t writeOffset = 0;
    FrameReader reader;
};

namespace {

// Waits on the wake descriptor (and optionally the socket); false when the session is stopping.
bool waitBriefly(IPCSession::State& s, int socketFd, short socketEvents, int timeoutMs);

}  // namespace

void IPCSession::State::finish(const std::string& reason) {
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
    auto deadline = std::chrono::steady_clock::now() + kConnectRetryLimit;
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
        if (err == EAGAIN && std::chrono::steady_clock::now() < deadline) {
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

// Reads what is there and hands out every complete frame. False when the session ended.
bool IPCSession::State::readPass() {
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
    for (;;) {
        Frame frame;
        std::string error;
        switch (reader.next(frame, error)) {
        case FrameReader::Status::NeedMore: return true;
        case FrameReader::Status::Bad: finish("bad frame from the peer: " + error); return false;
        case FrameReader::Status::GotFrame:
            if (stopping.load()) return false;
            if (callbacks.frame) {
                size_t wireSize = frame.wireSize;
                callbacks.frame(std::move(frame), wireSize);
            }
            break;
        }
    }
}

void IPCSession::State::run() {
    if (connectPath.empty()) established = true;
    else if (!connect()) return;

    for (;;) {
        if (stopping.load()) return;
        bool paused;
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
        if (overflowed) {
            finish("the peer is not reading (" + std::to_string(overflowBytes) + " bytes waiting)");
            return;
        }
        if (!writing.empty() && !writePass()) return;

        short events = short((paused ? 0 : POLLIN) | (writing.empty() ? 0 : POLLOUT));
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        // A paused session with nothing to write leaves the socket out, so that a peer that hung up
        // does not make poll return at once forever.
        int count = ::poll(fds, events ? 2 : 1, -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            finish(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
        }
        if (stopping.load()) return;
        if (events == 0) continue;
        short revents = fds[1].revents;
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) && !writing.empty() && !writePass()) return;
        if (!paused && (revents & (POLLIN | POLLERR | POLLHUP)) && !readPass()) return;
    }
}

namespace {

bool waitBriefly(IPCSession::State& s, int socketFd, short socketEvents, int timeoutMs) {
    pollfd fds[2] = {{s.wakeFd, POLLIN, 0}, {socketFd, socketEvents, 0}};
    ::poll(fds, socketFd >= 0 ? 2 : 1, timeoutMs);
    return !s.stopping.load();
}

}  // namespace

IPCSession::IPCSession(std::shared_ptr<State> state) : state_(std::move(state)) {
    // The thread holds the state, not the session, so the descriptors outlive it whoever goes first.
    thread_ = std::thread([state = state_] { state->run(); });
}

std::shared_ptr<IPCSession> IPCSession::startAccepted(int fd, SessionCallbacks callbacks) {
    return std::shared_ptr<IPCSession>(new IPCSession(std::make_shared<State>(fd, std::filesystem::path(), std::move(callbacks))));
}

std::shared_ptr<IPCSession> IPCSession::startConnecting(std::filesystem::path path, SessionCallbacks callbacks) {
    return std::shared_ptr<IPCSession>(new IPCSession(std::make_shared<State>(-1, std::move(path), std::move(callbacks))));
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
            state_->overflow = true;  // the thread ends the session
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

void IPCSession::stop() {
    std::lock_guard lock(stopMutex_);
    state_->stopping.store(true);
    state_->wake();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
}

}  // namespace kl::ipc

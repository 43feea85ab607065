// KLNetSocket's stream side: connect, listen and the accept loop, exact-length reads and complete
// writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/KLNetSocket.h"
#include "foundation/KLNetSocketUse.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/Files.h"

namespace kl {
namespace {

constexpr std::chrono::milliseconds kAcceptPass{500};
constexpr std::chrono::milliseconds kAcceptResourcePause{100};

void setError(Error* error, int err, const char* text) {
    if (error) *error = Error::withDescription(kPosixErrorDomain, err, text);
}

// Errors after which a listener keeps accepting: the connection went away before it was taken, a
// signal came, or the process ran out of descriptors or memory for a moment. Linux also passes
// pending network errors of the new connection up through accept.
bool isTransientAcceptError(int err) {
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

bool needsPauseAfterAcceptError(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

}  // namespace

bool KLNetSocket::openStreamDescriptor(int family, Error* error) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        setError(error, errno, "Cannot create socket");
        return false;
    }
    if (!adoptDescriptor(fd)) {
        ::close(fd);
        setError(error, ECANCELED, "Cannot create socket");
        return false;
    }
    return true;
}

bool KLNetSocket::connectToHost(const std::string& host, uint16_t port, Error* error) {
    KLLog(kKLTLoggingLevelDebug, "connectToHost: %s atPort: %ld error:", host.c_str(), long(port));
    if (isServer_ || isClient_) return false;
    if (!openStreamDescriptor(AF_INET, error)) return false;
    sockaddr_storage address{};
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    if (::inet_pton(AF_INET, host.c_str(), &in4.sin_addr) != 1 &&
        !kl::getAddressForHost(host, AF_INET, SOCK_STREAM, address)) {
        closeDescriptor(false);
        setError(error, EHOSTUNREACH, "Host not found");
        return false;
    }
    return connectToAddress(address, sizeof(sockaddr_in), port, error);
}

bool KLNetSocket::connectToAddress(sockaddr_storage& address, socklen_t length, uint16_t port, Error* error) {
    KLLog(kKLTLoggingLevelDebug, "connectToAddress:atPort: %ld", long(port));
    if (length != sizeof(sockaddr_in) && length != sizeof(sockaddr_in6)) {
        setError(error, EINVAL, "Unable to connect to port");
        return false;
    }
    address.ss_family = length == sizeof(sockaddr_in6) ? AF_INET6 : AF_INET;
    setSocketAddressPort(address, port);
    setKnownClientAddr(address);
    hasClientAddr_ = true;

    if (!isOpen() && !openStreamDescriptor(address.ss_family, error)) return false;

    // Connect without blocking in the kernel so that close() from another thread can wake the wait.
    int err = 0;
    {
        DescriptorUse use(*this);
        if (!use) {
            err = EBADF;
        } else if (setNonBlockingOnSocket(use.fd()) < 0) {
            err = errno;
        } else if (::connect(use.fd(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                WaitResult wait = waitOn(use.fd(), POLLOUT, std::chrono::milliseconds(-1));
                socklen_t errLength = sizeof err;
                if (wait == WaitResult::Woken) err = ECANCELED;
                else if (wait == WaitResult::Failed) err = errno;
                else if (::getsockopt(use.fd(), SOL_SOCKET, SO_ERROR, &err, &errLength) != 0) err = errno;
            }
        }
    }
    if (err != 0) {
        KLLog(kKLTLoggingLevelError, "Error string is '%s'", std::strerror(err));
        closeDescriptor(false);
        setError(error, err, "Unable to connect to port");
        return false;
    }
    isClient_ = true;
    return true;
}

bool KLNetSocket::listenOnPort(uint16_t port, std::weak_ptr<KLNetSocketDelegate> delegate, Error* error) {
    if (isServer_ || isClient_) return false;
    KLLog(kKLTLoggingLevelDebug, "listenOnPort: %ld withDelegate: %p error:", long(port),
          static_cast<void*>(delegate.lock().get()));
    isServer_ = true;
    int socketFamily = AF_INET6;
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        socketFamily = AF_INET;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    }
    auto fail = [&](int err, const char* text) {
        if (fd >= 0) ::close(fd);
        isServer_ = false;  // a failed listen leaves the object free for another try
        setError(error, err, text);
        return false;
    };
    if (fd < 0) return fail(errno, "Cannot create socket");
    if (socketFamily == AF_INET6) {
        int off = 0;  // one listener for IPv6 and IPv4 clients
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail(errno, "Unable to bind to port");
    sockaddr_storage any = wildcardSocketAddress(socketFamily, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), socketAddressLength(any)) != 0)
        return fail(errno, "Unable to bind to port");
    if (::listen(fd, 1) != 0) return fail(errno, "Unable to listen to port");
    if (!adoptDescriptor(fd)) return fail(ECANCELED, "Unable to listen to port");

    std::lock_guard lock(threadsMutex_);
    if (acceptThread_.joinable()) acceptThread_.join();  // an earlier listen's loop that has ended
    isListening_ = true;
    acceptControl_ = std::make_shared<LoopControl>();
    acceptThread_ = std::thread([this, delegate = std::move(delegate), control = acceptControl_] {
        runAcceptLoop(delegate, control);
    });
    return true;
}

void KLNetSocket::runAcceptLoop(std::weak_ptr<KLNetSocketDelegate> delegateRef,
                                const std::shared_ptr<LoopControl>& control) {
    while (!cancel_) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int client = -1;
        int err = 0;
        {
            DescriptorUse use(*this);
            if (!use) break;
            WaitResult wait = waitOn(use.fd(), POLLIN, kAcceptPass);
            if (wait == WaitResult::Woken || wait == WaitResult::Failed) break;
            if (wait == WaitResult::TimedOut) continue;
            client = ::accept4(use.fd(), reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
            err = errno;
            if (client < 0 && needsPauseAfterAcceptError(err)) {
                // The pending connection stays queued; pause instead of spinning on it.
                KLLog(kKLTLoggingLevelError, "acceptConnections: %s, pausing", std::strerror(err));
                if (waitOn(-1, 0, kAcceptResourcePause) == WaitResult::Woken) break;
            }
        }
        if (client < 0) {
            if (isTransientAcceptError(err)) continue;
            KLLog(kKLTLoggingLevelError, "acceptConnections: accept failed: %s", std::strerror(err));
            cancel_ = true;
            break;
        }

        auto accepted = initWithSocket(client);
        if (accepted) {
            accepted->setKnownClientAddr(peer);
            accepted->setHasClientAddr(true);
            accepted->setTiming(timing());
        } else {
            ::close(client);
        }
        auto self = weak_from_this().lock();
        if (!self) break;  // being destroyed on another thread, which joins this one
        auto delegate = delegateRef.lock();
        if (!delegate) {
            KLLog(kKLTLoggingLevelDebug, "acceptConnections: delegate gone, closing the listener");
            break;
        }
        delegate->acceptedNewClientSocket(std::move(accepted));
        delegate.reset();
        self.reset();  // may destroy the socket, here on its own accept thread
        if (control->ownerGone) return;
    }
    closeDescriptor(false);
    isListening_ = false;
}

bool KLNetSocket::getClientBytes(void* buffer, int64_t length) { return readExactly(buffer, length, ReadKind::Client); }

bool KLNetSocket::getServerBytes(void* buffer, int64_t length) { return readExactly(buffer, length, ReadKind::Server); }

bool KLNetSocket::hasPeer() const {
    auto& self = const_cast<KLNetSocket&>(*this);
    DescriptorUse use(self);
    if (!use) return false;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(use.fd(), reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

bool KLNetSocket::readExactly(void* buffer, int64_t length, ReadKind kind) {
    if (length <= 0) return true;
    const bool client = kind == ReadKind::Client;
    std::atomic<bool>& latencyReported = client ? clientLatencyReported_ : serverLatencyReported_;
    const auto step = timing().readWaitStep;
    auto* cursor = static_cast<uint8_t*>(buffer);
    int64_t remaining = length;
    long waitedSeconds = 0;
    bool hungUp = false;

    while (remaining > 0) {
        ssize_t n = -1;
        int err = 0;
        {
            DescriptorUse use(*this);
            if (!use) {
                errno = EBADF;
                return false;
            }
            size_t chunk = size_t(std::min<int64_t>(remaining, SSIZE_MAX));
            n = ::recv(use.fd(), cursor, chunk, MSG_DONTWAIT);
            err = errno;
        }
        if (n > 0) {
            reportReceived(uint64_t(n));
            cursor += n;
            remaining -= n;
            waitedSeconds = 0;
            if (latencyReported.exchange(false)) reportLatency(0.0f);
            continue;
        }
        if (n == 0) return false;  // end of stream
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            // A server read may start before its connection completes: it waits for it, but not
            // on a socket that has already reported a hang-up.
            if (client || hungUp || hasPeer()) {
                errno = err;
                return false;
            }
        }

        WaitResult wait;
        {
            DescriptorUse use(*this);
            if (!use) {
                errno = EBADF;
                return false;
            }
            short revents = 0;
            wait = waitOn(use.fd(), POLLIN, step, &revents);
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) hungUp = true;
        }
        if (wait == WaitResult::Failed) return false;
        if (wait == WaitResult::Woken) {
            errno = ECANCELED;
            return false;
        }
        if (wait == WaitResult::TimedOut) {
            waitedSeconds += kReadStepSeconds;
            if (waitedSeconds >= kReadLimitSeconds) {
                errno = ETIMEDOUT;
                return false;
            }
            KLLog(kKLTLoggingLevelInfo, "%s bytes timed out now %ld seconds", client ? "Client" : "Server", waitedSeconds);
            if (delegate()) {
                latencyReported = true;
                reportLatency(float(waitedSeconds) / float(kReadLimitSeconds));
            }
        }
        if (client && cancel_) return false;
    }
    return true;
}

bool KLNetSocket::delayUntilServerBytes(double seconds) {
    DescriptorUse use(*this);
    if (!use) return false;
    auto timeout = std::chrono::milliseconds(int64_t(std::max(0.0, seconds) * 1000.0));
    return waitOn(use.fd(), POLLIN, timeout) != WaitResult::Failed;
}

bool KLNetSocket::sendBytes(const void* bytes, uint32_t length) {
    const Timing limits = timing();
    auto* cursor = static_cast<const uint8_t*>(bytes);
    uint32_t remaining = length;
    auto lastProgress = Clock::now();
    while (remaining > 0) {
        DescriptorUse use(*this);
        if (!use) {
            errno = EBADF;
            return false;
        }
        ssize_t n = ::send(use.fd(), cursor, remaining, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            cursor += n;
            remaining -= uint32_t(n);
            reportSent(uint64_t(n));
            lastProgress = Clock::now();
            continue;
        }
        if (n == 0) return false;
        int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) return false;
        // The peer is not draining its window: wait for room, but give up once nothing has moved
        // for the stall limit instead of retrying for ever.
        auto stalled = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress);
        if (stalled >= limits.sendStallLimit) {
            KLLog(kKLTLoggingLevelError, "sendBytes: no progress for %ld ms, giving up with %u bytes unsent",
                  long(stalled.count()), remaining);
            errno = ETIMEDOUT;
            return false;
        }
        auto wait = waitOn(use.fd(), POLLOUT, std::min(limits.sendWaitStep, limits.sendStallLimit - stalled));
        if (wait == WaitResult::Failed) return false;
        if (wait == WaitResult::Woken) {
            errno = ECANCELED;
            return false;
        }
    }
    return true;
}

}  // namespace kl

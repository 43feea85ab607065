// KLNetSocket's datagram side: the receive loop, the one-shot wait and the sends.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/KLNetSocket.h"
#include "foundation/KLNetSocketUse.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"

namespace kl {
namespace {

constexpr std::chrono::milliseconds kReceivePass{100};

// A UDP socket bound to the wildcard address on port: -1 when none can be made, -2 when the bind
// fails. An IPv6 socket on a kernel without IPv6 becomes an IPv4 one (family is updated).
int makeBoundUdpSocket(int& family, uint16_t port, int& error) {
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0 && family == AF_INET6 && errno == EAFNOSUPPORT) {
        family = AF_INET;
        fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    }
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (family == AF_INET6) {
        int off = 0;  // dual stack, whatever the system default says
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    sockaddr_storage any = wildcardSocketAddress(family, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), socketAddressLength(any)) != 0) {
        error = errno;
        ::close(fd);
        return -2;
    }
    return fd;
}

}  // namespace

void KLNetSocket::listenForDatagramsOnPort(std::weak_ptr<KLNetSocketDelegate> delegate, uint16_t port) {
    // The caller's thread runs the loop and keeps the socket alive for its length.
    auto keepAlive = shared_from_this();
    runDatagramLoop(std::move(delegate), port, nullptr);
}

bool KLNetSocket::startListeningForDatagramsOnPort(std::weak_ptr<KLNetSocketDelegate> delegate, uint16_t port) {
    std::lock_guard lock(threadsMutex_);
    if (isListening_.exchange(true)) return false;
    if (datagramThread_.joinable()) datagramThread_.join();  // an earlier loop that has ended
    datagramControl_ = std::make_shared<LoopControl>();
    datagramThread_ = std::thread([this, delegate = std::move(delegate), port, control = datagramControl_] {
        runDatagramLoop(delegate, port, control);
    });
    return true;
}

void KLNetSocket::runDatagramLoop(std::weak_ptr<KLNetSocketDelegate> delegateRef, uint16_t port,
                                  const std::shared_ptr<LoopControl>& control) {
    isListening_ = true;
    bool shouldClose = true;
    int fd = -1;

    int loopFamily = family_;
    if (hasClientAddr_ && knownClientAddr().ss_family == AF_INET) loopFamily = AF_INET;
    if (loopFamily != AF_INET) loopFamily = AF_INET6;
    int error = 0;
    fd = makeBoundUdpSocket(loopFamily, port, error);
    if (fd == -2) {
        KLLog(kKLTLoggingLevelError, "Failed to bind to port: number %d. err is: %s (%d)", int(port),
              std::strerror(error), error);
    } else if (fd >= 0 && !adoptDescriptor(fd)) {
        ::close(fd);  // closed while starting
        fd = -1;
    }
    if (fd >= 0) {
        KLLog(kKLTLoggingLevelDebug, "%s: %d (local), socket = %ld    KLNetSocket: %p", "listenForDatagramsOnPort:",
              int(localPort()), long(fd), static_cast<void*>(this));
        if (auto self = weak_from_this().lock()) {
            if (auto delegate = delegateRef.lock()) delegate->willBeginListeningForDatagramsOnSocket(*self);
        }
        if (control && control->ownerGone) return;

        std::vector<uint8_t> buffer(kDatagramBufferSize);
        while (!cancel_) {
            sockaddr_storage from{};
            socklen_t fromLength = 0;
            ssize_t received = -1;
            bool endLoop = false;
            {
                DescriptorUse use(*this);
                if (!use) break;
                switch (waitOn(use.fd(), POLLIN, kReceivePass)) {
                case WaitResult::Failed:
                case WaitResult::Woken: endLoop = true; break;
                case WaitResult::TimedOut: break;
                case WaitResult::Ready:
                    fromLength = loopFamily == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
                    received = ::recvfrom(use.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
                    if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        KLLog(kKLTLoggingLevelError, "KLNetSocket %s socket: %d \terror: %s",
                              "listenForDatagramsOnPort:", use.fd(), std::strerror(errno));
                        endLoop = true;
                    }
                    break;
                }
            }
            if (endLoop) break;

            auto self = weak_from_this().lock();
            if (!self) break;  // being destroyed on another thread, which joins this one
            auto delegate = delegateRef.lock();
            if (!delegate) {
                KLLog(kKLTLoggingLevelDebug, "listenForDatagramsOnPort: delegate gone, socket %d", fd);
                // Ours may have been the last reference: then the socket is gone and so is this.
                self.reset();
                if (control && control->ownerGone) return;
                break;
            }
            if (received >= 0) {
                reportReceived(uint64_t(received));
                KLNetDatagram datagram;
                datagram.bytes = std::span<const uint8_t>(buffer.data(), size_t(received));
                if (useCopy_) {
                    auto copy = std::make_shared<const std::vector<uint8_t>>(buffer.begin(), buffer.begin() + received);
                    datagram.bytes = std::span<const uint8_t>(copy->data(), copy->size());
                    datagram.copy = std::move(copy);
                }
                delegate->datagramReceivedForSocketFromAddress(*self, datagram, reinterpret_cast<sockaddr*>(&from),
                                                               fromLength);
            }
            bool keepGoing = delegate->shouldContinueToReceiveDatagramsOnSocket(*self, shouldClose);
            delegate.reset();
            self.reset();  // may destroy the socket, here on its own loop thread
            if (control && control->ownerGone) return;
            if (!keepGoing) break;
        }
    }
    if (shouldClose) closeDescriptor(false);
    KLLog(kKLTLoggingLevelDebug, "listenForDatagramsOnPort: falling out of the end!   socket:%d    %p", fd,
          static_cast<void*>(this));
    isListening_ = false;
}

std::optional<Bytes> KLNetSocket::waitForDatagramOnPort(uint16_t port) {
    KLLog(kKLTLoggingLevelDebug, "waitForDatagramOnPort: %ld mSock = %d", long(port), sock());
    hasClientAddr_ = false;
    waitForDatagramError_ = false;
    std::optional<Bytes> result;
    int error = 0;
    int waitFamily = AF_INET6;
    int fd = makeBoundUdpSocket(waitFamily, port, error);
    if (fd == -2) {
        waitForDatagramError_ = true;
        KLLog(kKLTLoggingLevelError, "Was waitForDatagramOnPort: and failed to bind to port %ld", long(port));
    } else if (fd >= 0) {
        Bytes buffer(kDatagramBufferSize);
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t received = -1;
        {
            DescriptorUse use(*this, /*requireDescriptor=*/false);
            while (use) {
                WaitResult wait = waitOn(fd, POLLIN, std::chrono::milliseconds(-1));
                if (wait != WaitResult::Ready) break;
                received = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (received >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
            }
        }
        ::close(fd);
        if (received >= 0) {
            buffer.resize(size_t(received));
            setKnownClientAddr(from);
            hasClientAddr_ = true;
            result = std::move(buffer);
        } else {
            waitForDatagramError_ = true;
            KLLog(kKLTLoggingLevelError, "waitForDatagramOnPort: recvfrom() failed");
        }
    }
    KLLog(kKLTLoggingLevelDebug, "waitForDatagramOnPort: returning");
    return result;
}

bool KLNetSocket::sendDatagram(const void* bytes, uint32_t length, const sockaddr_storage& destination,
                               bool waitForBuffer) {
    return sendDatagramTo(bytes, length, reinterpret_cast<const sockaddr*>(&destination),
                          socketAddressLength(destination), waitForBuffer);
}

bool KLNetSocket::sendDatagram(const void* bytes, uint32_t length, const KLNetSocket* clientSocket, uint16_t port) {
    sockaddr_storage destination{};
    if (clientSocket) {
        destination = clientSocket->knownClientAddr();
        setSocketAddressPort(destination, port);
    }
    return sendDatagramTo(bytes, length, reinterpret_cast<const sockaddr*>(&destination),
                          socketAddressLength(destination), false);
}

bool KLNetSocket::sendDatagramTo(const void* bytes, uint32_t length, const sockaddr* to, socklen_t toLength,
                                 bool waitForBuffer) {
    int error = EBADF;
    {
        DescriptorUse use(*this);
        const auto deadline = Clock::now() + timing().datagramBufferWait;
        while (use) {
            if (::sendto(use.fd(), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT, to, toLength) >= 0) {
                error = 0;
                break;
            }
            error = errno;
            if (error == EINTR) continue;
            // A full send buffer (EAGAIN) is waited out, and a lack of kernel buffers (ENOBUFS) when
            // asked to; both for a bounded time, so a send never spins or hangs.
            bool retry = error == EAGAIN || error == EWOULDBLOCK || (error == ENOBUFS && waitForBuffer);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!retry || left.count() <= 0) break;
            // ENOBUFS cannot be polled for: retry after a short pause.
            auto pause = error == ENOBUFS ? std::min(left, std::chrono::milliseconds(5)) : left;
            WaitResult wait = waitOn(use.fd(), error == ENOBUFS ? 0 : POLLOUT, pause);
            if (wait == WaitResult::Failed || wait == WaitResult::Woken) break;
        }
    }
    if (error == 0) {
        reportSent(length);
        return true;
    }
    KLLog(kKLTLoggingLevelError, "Failed to send datagram: err is %s (%d)", std::strerror(error), error);
    errno = error;
    return false;
}

}  // namespace kl

// Life, closing, waits and state of KLNetSocket. The datagram and stream operations live in
// KLNetSocketDatagram.cpp and KLNetSocketStream.cpp.
#include "foundation/KLNetSocket.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/KLNetSocketUse.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"

namespace kl {

std::shared_ptr<KLNetSocket> KLNetSocket::init() { return initWithFamily(AF_INET6); }

std::shared_ptr<KLNetSocket> KLNetSocket::initWithFamily(int family) {
    return std::make_shared<KLNetSocket>(Private{}, family);
}

std::shared_ptr<KLNetSocket> KLNetSocket::initWithSocket(int descriptor) {
    KLLog(kKLTLoggingLevelDebug, "initWithSocket: %d", descriptor);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (descriptor < 0 || ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) return nullptr;
    auto socket = initWithFamily(local.ss_family);
    socket->fd_ = descriptor;
    socket->isClient_ = true;
    return socket;
}

std::shared_ptr<KLNetSocket> KLNetSocket::initUDPClient() { return initUDPClientWithFamily(AF_INET6); }

std::shared_ptr<KLNetSocket> KLNetSocket::initUDPClientWithFamily(int family) {
    int socketFamily = family == AF_INET6 ? AF_INET6 : AF_INET;
    int fd = ::socket(socketFamily, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return nullptr;
    if (socketFamily == AF_INET6) {
        int off = 0;  // dual stack: IPv4 peers reach this socket as ::ffff:a.b.c.d
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    sockaddr_storage any = wildcardSocketAddress(socketFamily, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), socketAddressLength(any)) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto socket = initWithFamily(family);
    if (socket->wakeFd_ < 0) {
        // Out of descriptors: a socket whose waits cannot be woken could never be closed safely.
        ::close(fd);
        return nullptr;
    }
    socket->fd_ = fd;
    return socket;
}

KLNetSocket::KLNetSocket(Private, int family) : family_(family) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) KLLog(kKLTLoggingLevelError, "KLNetSocket: eventfd failed: %s", std::strerror(errno));
}

KLNetSocket::~KLNetSocket() {
    cancel_ = true;
    closeDescriptor(true);
    {
        std::lock_guard lock(threadsMutex_);
        stopThread(acceptThread_, acceptControl_);
        stopThread(datagramThread_, datagramControl_);
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void KLNetSocket::stopThread(std::thread& thread, const std::shared_ptr<LoopControl>& control) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // The loop's own callback dropped the last reference: the loop sees this and returns.
        if (control) control->ownerGone = true;
        thread.detach();
    } else {
        thread.join();
    }
}

void KLNetSocket::close() {
    cancel_ = true;
    closeDescriptor(true);
}

void KLNetSocket::closeDescriptor(bool wake) {
    std::unique_lock lock(mutex_);
    if (wake) {
        closing_ = true;
        uint64_t one = 1;
        if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
            KLLog(kKLTLoggingLevelError, "KLNetSocket: cannot wake waiters: %s", std::strerror(errno));
        }
    }
    usersDone_.wait(lock, [&] { return users_ == 0; });
    KLLog(kKLTLoggingLevelDebug, "close mSock %p = %d", static_cast<void*>(this), fd_);
    if (fd_ >= 0) {
        if (ownsDescriptor_) ::close(fd_);
        fd_ = -1;
    }
    if (wake) {
        uint64_t drained = 0;
        if (wakeFd_ >= 0 && ::read(wakeFd_, &drained, sizeof drained) < 0 && errno != EAGAIN) {
            KLLog(kKLTLoggingLevelError, "KLNetSocket: cannot reset wake signal: %s", std::strerror(errno));
        }
        closing_ = false;
    }
}

bool KLNetSocket::adoptDescriptor(int descriptor) {
    closeDescriptor(false);
    std::lock_guard lock(mutex_);
    if (closing_) return false;
    fd_ = descriptor;
    return true;
}

void KLNetSocket::setSocketCloseOwnership(bool ownsDescriptor) { ownsDescriptor_ = ownsDescriptor; }

KLNetSocket::WaitResult KLNetSocket::waitOn(int descriptor, short events, std::chrono::milliseconds timeout,
                                            short* revents) {
    pollfd fds[2] = {{descriptor, events, 0}, {wakeFd_, POLLIN, 0}};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int waitMs = -1;
        if (timeout.count() >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = int(std::max<int64_t>(0, left.count()));
        }
        int n = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, waitMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Failed;
        }
        if (n == 0) return WaitResult::TimedOut;
        if (fds[1].revents) return WaitResult::Woken;
        if (revents) *revents = fds[0].revents;
        return WaitResult::Ready;
    }
}

bool KLNetSocket::isOpen() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

int KLNetSocket::sock() const {
    std::lock_guard lock(mutex_);
    return fd_;
}

uint16_t KLNetSocket::localPort() const {
    auto& self = const_cast<KLNetSocket&>(*this);
    DescriptorUse use(self);
    if (!use) return 0;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(use.fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return socketAddressPort(local);
}

sockaddr_storage KLNetSocket::knownClientAddr() const {
    std::lock_guard lock(mutex_);
    return knownClientAddr_;
}

void KLNetSocket::setKnownClientAddr(const sockaddr_storage& address) {
    std::lock_guard lock(mutex_);
    knownClientAddr_ = address;
}

std::shared_ptr<KLNetSocketDelegate> KLNetSocket::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KLNetSocket::setDelegate(std::weak_ptr<KLNetSocketDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<KLTBandwidthMeterProtocol> KLNetSocket::bandwidthMeter() const {
    std::lock_guard lock(mutex_);
    return bandwidthMeter_.lock();
}

void KLNetSocket::setBandwidthMeter(std::weak_ptr<KLTBandwidthMeterProtocol> meter) {
    std::lock_guard lock(mutex_);
    bandwidthMeter_ = std::move(meter);
}

KLNetSocket::Timing KLNetSocket::timing() const {
    std::lock_guard lock(mutex_);
    return timing_;
}

void KLNetSocket::setTiming(const Timing& timing) {
    std::lock_guard lock(mutex_);
    timing_ = timing;
}

void KLNetSocket::reportSent(uint64_t count) const {
    if (auto meter = bandwidthMeter()) meter->reportBytesSent(count);
}

void KLNetSocket::reportReceived(uint64_t count) const {
    if (auto meter = bandwidthMeter()) meter->reportBytesReceived(count);
}

void KLNetSocket::reportLatency(float fraction) {
    std::weak_ptr<KLNetSocketDelegate> target = delegate();
    if (target.expired()) return;
    mainLoop().post([target, fraction] {
        if (auto delegate = target.lock()) delegate->socketIsExperiencingLatency(fraction);
    });
}

bool KLNetSocket::isLoopback() const {
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return false;
    bool loopback = false;
    if (!(isServer_ && hasClientAddr_)) {
        const sockaddr_storage peer = knownClientAddr();
        for (ifaddrs* entry = interfaces; entry && !loopback; entry = entry->ifa_next) {
            if (!entry->ifa_addr) continue;
            int family = entry->ifa_addr->sa_family;
            if (family != AF_INET && family != AF_INET6) continue;
            loopback = sameHostAddress(entry->ifa_addr, peer);
        }
    }
    ::freeifaddrs(interfaces);
    return loopback;
}

int KLNetSocket::setTCPNoDelayWithOption(bool on) {
    DescriptorUse use(*this);
    if (!use) return -1;
    return setTCPNoDelayOnSocket(use.fd(), on);
}

int KLNetSocket::setTCPNoDelayOnSocket(int descriptor, bool on) {
    int value = on ? 1 : 0;
    return ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

bool KLNetSocket::getAddressForHost(const std::string& host, int family, int socketType, sockaddr_storage& storage) {
    return kl::getAddressForHost(host, family, socketType, storage);
}

int KLNetSocket::setNonBlockingOnSocket(int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFL, 0);
    if (flags < 0) return flags;
    return ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
}

bool KLNetSocket::convertDualStack(const sockaddr_in6& dualStack, sockaddr_in& oldIP) {
    return kl::convertDualStack(dualStack, oldIP);
}

}  // namespace kl

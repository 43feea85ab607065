#include "http/KLNetworkReachability.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl {
namespace {

// Changes come in bursts (an address and its routes); the answer is taken once they settle.
constexpr int kSettleMilliseconds = 100;
constexpr int kMaximumSettleMilliseconds = 1000;

// A datagram socket connected to the address: the kernel picks a route without sending anything,
// and refuses when there is none.
bool hasRoute(const sockaddr* address, socklen_t length) {
    int fd = ::socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_storage target{};
    std::memcpy(&target, address, std::min<size_t>(length, sizeof target));
    // Port 9 (discard); connect() on a datagram socket only records the destination.
    if (address->sa_family == AF_INET) reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(9);
    else if (address->sa_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(9);
    bool routed = ::connect(fd, reinterpret_cast<sockaddr*>(&target), length) == 0;
    ::close(fd);
    return routed;
}

}  // namespace

KLNetworkReachabilityStatus KLNetworkReachabilityStatusForFlags(unsigned flags) {
    bool reachable = (flags & kKLReachabilityFlagsReachable) && !(flags & kKLReachabilityFlagsConnectionRequired);
    return reachable ? KLNetworkReachabilityStatusReachable : KLNetworkReachabilityStatusNotReachable;
}

bool KLIsLiteralAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

unsigned KLNetworkReachabilityFlagsForHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || !results) return 0;
    unsigned flags = 0;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        if (hasRoute(ai->ai_addr, ai->ai_addrlen)) {
            flags |= kKLReachabilityFlagsReachable;
            break;
        }
    }
    ::freeaddrinfo(results);
    return flags;
}

std::unique_ptr<KLNetworkReachabilityMonitor> KLNetworkReachabilityMonitor::create(std::string host, Callback callback) {
    if (host.empty()) return nullptr;
    int routeSocket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (routeSocket < 0) {
        KLLog(kKLTLoggingLevelError, "Reachability: cannot open a route socket: %s", strerror(errno));
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(routeSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        KLLog(kKLTLoggingLevelError, "Reachability: cannot bind the route socket: %s", strerror(errno));
        ::close(routeSocket);
        return nullptr;
    }
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(routeSocket);
        return nullptr;
    }
    return std::unique_ptr<KLNetworkReachabilityMonitor>(
        new KLNetworkReachabilityMonitor(std::move(host), std::move(callback), routeSocket, wakeFd));
}

KLNetworkReachabilityMonitor::KLNetworkReachabilityMonitor(std::string host, Callback callback, int routeSocket, int wakeFd)
    : host_(std::move(host)), callback_(std::move(callback)), routeSocket_(routeSocket), wakeFd_(wakeFd) {
    thread_ = std::thread([this] { run(); });
}

KLNetworkReachabilityMonitor::~KLNetworkReachabilityMonitor() {
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
    if (thread_.joinable()) thread_.join();
    ::close(routeSocket_);
    ::close(wakeFd_);
}

// True when the route socket had news. Messages are not parsed: any of them may change routes.
bool KLNetworkReachabilityMonitor::drainRouteSocket() {
    bool any = false;
    char buffer[16384];
    while (true) {
        ssize_t n = ::recv(routeSocket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            any = true;
            continue;
        }
        // ENOBUFS: the kernel dropped messages; the answer is taken again all the same.
        if (n < 0 && errno == ENOBUFS) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return any;
    }
}

void KLNetworkReachabilityMonitor::run() {
    auto status = KLNetworkReachabilityStatusForFlags(KLNetworkReachabilityFlagsForHost(host_));
    callback_(status, true);
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {routeSocket_, POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            KLLog(kKLTLoggingLevelError, "Reachability: poll failed: %s", strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (!drainRouteSocket()) continue;
        // Let the burst settle, but answer within a second even under a stream of changes.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaximumSettleMilliseconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int ready = ::poll(fds, 2, kSettleMilliseconds);
            if (ready > 0 && fds[0].revents) return;
            if (ready <= 0 || !drainRouteSocket()) break;
        }
        auto now = KLNetworkReachabilityStatusForFlags(KLNetworkReachabilityFlagsForHost(host_));
        if (now != status) {
            status = now;
            callback_(status, false);
        }
    }
}

}  // namespace kl

// Reachability of one host: whether the current network configuration has a route to any of its
// addresses. A thread of its own resolves the name and probes the routes at start and again after
// every change that a netlink route socket reports (links, addresses, routes); it calls back only
// when the answer changes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kl {

enum KLNetworkReachabilityStatus : int {
    KLNetworkReachabilityStatusUnknown = -1,
    KLNetworkReachabilityStatusNotReachable = 0,
    // 1 (reachable over a cellular network) is never produced here.
    KLNetworkReachabilityStatusReachable = 2,
};

// Reachability flags as the status is made from them.
enum : unsigned {
    kKLReachabilityFlagsReachable = 0x2,
    kKLReachabilityFlagsConnectionRequired = 0x4,
};
KLNetworkReachabilityStatus KLNetworkReachabilityStatusForFlags(unsigned flags);

// The flags for host now: reachable when some address of it has a route. Blocks while the name
// is resolved.
unsigned KLNetworkReachabilityFlagsForHost(const std::string& host);
// True when host is a literal IPv4 or IPv6 address.
bool KLIsLiteralAddress(const std::string& host);

class KLNetworkReachabilityMonitor {
public:
    // Called on the monitor's thread: once with the first status (initial = true), then at each change.
    using Callback = std::function<void(KLNetworkReachabilityStatus status, bool initial)>;

    // Nothing when host is empty or the route socket cannot be opened. The socket belongs to the
    // network namespace of the calling thread, and so do the probes.
    static std::unique_ptr<KLNetworkReachabilityMonitor> create(std::string host, Callback callback);
    // Wakes the thread and joins it (a name resolution under way is waited for).
    ~KLNetworkReachabilityMonitor();
    KLNetworkReachabilityMonitor(const KLNetworkReachabilityMonitor&) = delete;
    KLNetworkReachabilityMonitor& operator=(const KLNetworkReachabilityMonitor&) = delete;

private:
    KLNetworkReachabilityMonitor(std::string host, Callback callback, int routeSocket, int wakeFd);
    void run();
    bool drainRouteSocket();

    std::string host_;
    Callback callback_;
    int routeSocket_;
    int wakeFd_;
    std::thread thread_;
};

}  // namespace kl

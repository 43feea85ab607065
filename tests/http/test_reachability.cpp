// Reachability of the base URL's host, reported on the main loop: at start, and at each change of
// the network configuration (seen inside a private network namespace).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "http/KLHTTPClient.h"
#include "platform/Executors.h"

namespace kl {
namespace {

struct Reports {
    std::vector<KLNetworkReachabilityStatus> statuses;
    std::vector<KLNetworkReachabilityStatus> notifications;
    bool onMainLoop = true;
};

std::shared_ptr<Reports> watch(const std::shared_ptr<KLHTTPClient>& client, Signal<KLNetworkReachabilityStatus>::Id* id) {
    auto reports = std::make_shared<Reports>();
    client->setReachabilityStatusChangeBlock([reports](KLNetworkReachabilityStatus status) {
        reports->onMainLoop = reports->onMainLoop && mainLoop().isCurrentThread();
        reports->statuses.push_back(status);
    });
    *id = KLHTTPClient::reachabilityDidChangeNotification().connect(
        [reports](KLNetworkReachabilityStatus status) { reports->notifications.push_back(status); });
    return reports;
}

bool runUntilReports(const Reports& reports, size_t count) {
    return mainLoop().runUntil([&] { return reports.statuses.size() >= count; }, std::chrono::seconds(20));
}

TEST(Reachability, LiteralAndNamedHostsReportOnce) {
    Signal<KLNetworkReachabilityStatus>::Id id;
    // The status is unknown until the first report; a literal address reports without the notification.
    std::shared_ptr<Reports> literal;
    {
        auto client = KLHTTPClient::clientWithBaseURL("https://127.0.0.1:9/api/v1/");
        literal = watch(client, &id);
        EXPECT_EQ(client->networkReachabilityStatus(), KLNetworkReachabilityStatusUnknown);
        ASSERT_TRUE(runUntilReports(*literal, 1));
        EXPECT_EQ(client->networkReachabilityStatus(), KLNetworkReachabilityStatusReachable);
        mainLoop().runUntil([] { return false; }, std::chrono::milliseconds(200));
    }
    EXPECT_EQ(literal->statuses, std::vector<KLNetworkReachabilityStatus>{KLNetworkReachabilityStatusReachable});
    EXPECT_TRUE(literal->notifications.empty());
    EXPECT_TRUE(literal->onMainLoop);
    KLHTTPClient::reachabilityDidChangeNotification().disconnect(id);

    auto client = KLHTTPClient::clientWithBaseURL("https://localhost:9/");
    auto named = watch(client, &id);
    ASSERT_TRUE(runUntilReports(*named, 1));
    ASSERT_TRUE(mainLoop().runUntil([&] { return !named->notifications.empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(named->notifications.front(), KLNetworkReachabilityStatusReachable);
    KLHTTPClient::reachabilityDidChangeNotification().disconnect(id);

    // No host, no monitoring: the status stays unknown.
    auto none = KLHTTPClient::clientWithBaseURL("not a URL");
    mainLoop().runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(none->networkReachabilityStatus(), KLNetworkReachabilityStatusUnknown);
}

// A private network namespace with an interface of its own, removed again however the test ends.
class PrivateNetwork {
public:
    PrivateNetwork() : name_("klreach" + std::to_string(::getpid())) {
        run("ip netns del " + name_ + " 2>/dev/null");
        // A veth pair with both ends inside: a link with carrier that needs no extra kernel module.
        ok_ = run("ip netns add " + name_) && ip("link add kl0 type veth peer name kl1") && ip("link set kl1 up") &&
              ip("link set kl0 up") && ip("addr add 10.213.0.1/24 dev kl0");
    }
    ~PrivateNetwork() {
        if (saved_ >= 0) {
            ::setns(saved_, CLONE_NEWNET);
            ::close(saved_);
        }
        run("ip netns del " + name_ + " 2>/dev/null");
    }
    bool ok() const { return ok_; }
    bool ip(const std::string& args) { return run("ip -n " + name_ + " " + args); }

    // Moves the calling thread (and the threads it starts) into the namespace; the destructor moves it back.
    bool enter() {
        saved_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        bool entered = saved_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) ::close(target);
        return entered;
    }

private:
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }
    std::string name_;
    bool ok_ = false;
    int saved_ = -1;
};

TEST(Reachability, FollowsAnAddressRemovedAndRestored) {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    PrivateNetwork network;
    if (!network.ok()) GTEST_SKIP() << "cannot create a network namespace here";
    ASSERT_TRUE(network.enter());

    auto client = KLHTTPClient::clientWithBaseURL("https://10.213.0.1/api/v1/");
    Signal<KLNetworkReachabilityStatus>::Id id;
    auto reports = watch(client, &id);
    ASSERT_TRUE(runUntilReports(*reports, 1));
    EXPECT_EQ(reports->statuses.back(), KLNetworkReachabilityStatusReachable);

    ASSERT_TRUE(network.ip("addr del 10.213.0.1/24 dev kl0"));
    ASSERT_TRUE(runUntilReports(*reports, 2));
    EXPECT_EQ(reports->statuses.back(), KLNetworkReachabilityStatusNotReachable);
    EXPECT_EQ(client->networkReachabilityStatus(), KLNetworkReachabilityStatusNotReachable);

    ASSERT_TRUE(network.ip("addr add 10.213.0.1/24 dev kl0"));
    ASSERT_TRUE(runUntilReports(*reports, 3));
    EXPECT_EQ(reports->statuses.back(), KLNetworkReachabilityStatusReachable);
    EXPECT_TRUE(reports->onMainLoop);
    // Changes of a literal address are notified too, after the first report.
    mainLoop().runUntil([&] { return reports->notifications.size() >= 2; }, std::chrono::seconds(10));
    EXPECT_EQ(reports->notifications, (std::vector<KLNetworkReachabilityStatus>{KLNetworkReachabilityStatusNotReachable,
                                                                                 KLNetworkReachabilityStatusReachable}));
    KLHTTPClient::reachabilityDidChangeNotification().disconnect(id);
}

}  // namespace
}  // namespace kl

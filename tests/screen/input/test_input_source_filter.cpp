// Which datagrams of the input socket are taken: only the viewer's address, one source port fixed
// by the first datagram, and over loopback only from sockets of root or the session's user. The
// owner lookup is checked against a real socket in the kernel's tables.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "foundation/KLTLogging.h"
#include "screen/input/InputSourceFilter.h"
#include "screen/input/RateLimitedLog.h"
#include "screen/input/UdpSocketOwner.h"

namespace kl {
namespace {

sockaddr_storage address(const char* ip, uint16_t port) {
    sockaddr_storage s{};
    if (std::string(ip).find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(s);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        inet_pton(AF_INET6, ip, &v6.sin6_addr);
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(s);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        inet_pton(AF_INET, ip, &v4.sin_addr);
    }
    return s;
}

TEST(InputSourceFilter, TakesOnlyTheViewersAddressAndFirstPort) {
    InputSourceFilter filter(1000, [](const sockaddr_storage&) { return std::optional<uid_t>(1000); });
    EXPECT_EQ(filter.check(address("192.0.2.7", 5000)), InputSourceFilter::NoViewer);
    auto viewer = address("192.0.2.7", 49152);  // the main channel's peer; its port does not matter
    filter.viewerChanged(&viewer);
    EXPECT_EQ(filter.check(address("192.0.2.8", 5000)), InputSourceFilter::OtherAddress);
    EXPECT_EQ(filter.check(address("192.0.2.7", 5000)), InputSourceFilter::Accepted);
    EXPECT_EQ(filter.check(address("192.0.2.7", 5001)), InputSourceFilter::OtherPort);
    EXPECT_EQ(filter.check(address("::ffff:192.0.2.7", 5000)), InputSourceFilter::Accepted);
    // A new viewer chooses its port again.
    filter.viewerChanged(&viewer);
    EXPECT_EQ(filter.check(address("192.0.2.7", 5001)), InputSourceFilter::Accepted);
    filter.viewerChanged(nullptr);
    EXPECT_EQ(filter.check(address("192.0.2.7", 5001)), InputSourceFilter::NoViewer);
}

TEST(InputSourceFilter, LoopbackSocketsMustBelongToRootOrTheSessionUser) {
    std::optional<uid_t> owner;
    int lookups = 0;
    InputSourceFilter filter(1000, [&](const sockaddr_storage&) {
        ++lookups;
        return owner;
    });
    auto viewer = address("127.0.0.1", 40000);
    filter.viewerChanged(&viewer);
    owner = 1001;
    EXPECT_EQ(filter.check(address("127.0.0.1", 6000)), InputSourceFilter::ForeignOwner);
    owner.reset();  // no such socket (a forged source)
    EXPECT_EQ(filter.check(address("127.0.0.1", 6000)), InputSourceFilter::ForeignOwner);
    owner = 0;
    EXPECT_EQ(filter.check(address("127.0.0.1", 6001)), InputSourceFilter::Accepted);
    // The port is fixed now; another local user's socket cannot take over.
    owner = 1001;
    EXPECT_EQ(filter.check(address("127.0.0.1", 6000)), InputSourceFilter::OtherPort);
    EXPECT_EQ(filter.check(address("127.0.0.1", 6001)), InputSourceFilter::Accepted);
    EXPECT_EQ(lookups, 3);

    auto v6 = address("::1", 40000);
    filter.viewerChanged(&v6);
    owner = 1000;
    EXPECT_EQ(filter.check(address("::1", 6002)), InputSourceFilter::Accepted);
}

TEST(UdpSocketOwner, FindsTheOwnerOfBoundSockets) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        bool v6 = std::string(ip) == "::1";
        int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_storage bound = address(ip, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&bound), v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)), 0);
        socklen_t length = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        EXPECT_EQ(udpSocketOwner(bound), std::optional<uid_t>(::getuid())) << ip;
        ::close(fd);
        EXPECT_EQ(udpSocketOwner(bound), std::nullopt) << ip;
    }
}

// A local program of another user that sends from a socket of its own is refused; root's and the
// session user's sockets are taken.
TEST(InputSourceFilter, RealLoopbackSocketsOfOtherUsersAreRefused) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to hold a socket as another user";
    const uid_t sessionUser = 4242, otherUser = 65534;
    std::string command = "setpriv --reuid=" + std::to_string(otherUser) + " --regid=65534 --clear-groups /usr/bin/python3 -c "
                          "'import socket,sys; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind((\"127.0.0.1\",0)); "
                          "sys.stdin.read()'";
    FILE* other = ::popen(command.c_str(), "w");
    ASSERT_TRUE(other);
    // Its socket, found in the table by its owner.
    std::optional<sockaddr_storage> foreign;
    for (int tries = 0; tries < 500 && !foreign; ++tries) {
        std::ifstream table("/proc/net/udp");
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, st, queues, timer, retransmits, uid;
            if (!(f >> sl >> local >> remote >> st >> queues >> timer >> retransmits >> uid)) continue;
            if (uid != std::to_string(otherUser) || local.rfind("0100007F:", 0) != 0) continue;
            foreign = address("127.0.0.1", uint16_t(std::stoul(local.substr(9), nullptr, 16)));
        }
        if (!foreign) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(foreign);

    int ours = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage own = address("127.0.0.1", 0);
    ASSERT_EQ(::bind(ours, reinterpret_cast<sockaddr*>(&own), sizeof(sockaddr_in)), 0);
    socklen_t length = sizeof own;
    ::getsockname(ours, reinterpret_cast<sockaddr*>(&own), &length);

    InputSourceFilter filter(sessionUser);
    auto viewer = address("127.0.0.1", 40000);
    filter.viewerChanged(&viewer);
    EXPECT_EQ(filter.check(*foreign), InputSourceFilter::ForeignOwner);
    EXPECT_EQ(filter.check(own), InputSourceFilter::Accepted);  // root's
    ::close(ours);
    ::pclose(other);
}

TEST(UdpSocketOwner, WildcardSocketsAndTableLines) {
    // A socket bound to the IPv4 wildcard sends from 127.0.0.1 too.
    const char* udp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        "  1: 00000000:1771 00000000:0000 07 00000000:00000000 00:00000000 00000000  1234        0 1 2 0 0\n"
        "  2: 0100007F:1772 0200007F:1B58 01 00000000:00000000 00:00000000 00000000  4321        0 1 2 0 0\n";
    EXPECT_EQ(findUdpSocketOwner(udp, "", address("127.0.0.1", 0x1771)), std::optional<uid_t>(1234));
    // A connected socket (a viewer's is connected to our input port) is found by its bound end.
    EXPECT_EQ(findUdpSocketOwner(udp, "", address("127.0.0.1", 0x1772)), std::optional<uid_t>(4321));
    EXPECT_EQ(findUdpSocketOwner(udp, "", address("127.0.0.1", 0x1773)), std::nullopt);
    EXPECT_EQ(findUdpSocketOwner("garbage\nmore garbage", "", address("127.0.0.1", 0x1771)), std::nullopt);
    EXPECT_TRUE(isLoopbackAddress(address("127.3.2.1", 1)));
    EXPECT_TRUE(isLoopbackAddress(address("::ffff:127.0.0.1", 1)));
    EXPECT_FALSE(isLoopbackAddress(address("192.0.2.1", 1)));
    EXPECT_FALSE(isLoopbackAddress(address("::2", 1)));
}

TEST(RateLimitedLog, AFloodOfRefusalsLeavesAFewLinesAndACount) {
    clearMemoryLog();
    RateLimitedLog log(2, std::chrono::seconds(10));
    auto start = RateLimitedLog::Clock::now();
    EXPECT_TRUE(log.log("refused 1", start));
    EXPECT_TRUE(log.log("refused 2", start + std::chrono::seconds(1)));
    for (int i = 3; i <= 7; ++i) EXPECT_FALSE(log.log("refused " + std::to_string(i), start + std::chrono::seconds(2)));
    EXPECT_TRUE(log.log("refused 8", start + std::chrono::seconds(11)));
    EXPECT_FALSE(memoryLogContains("refused 3"));
    EXPECT_TRUE(memoryLogContains("5 similar lines left out"));
    EXPECT_TRUE(memoryLogContains("refused 8"));
}

}  // namespace
}  // namespace kl

// The viewer listener: connections on both loopback addresses reach the service, connections from
// programs of other users are closed without reaching it.
#include <gtest/gtest.h>

#include <poll.h>

#include <mutex>
#include <vector>

#include "LoopbackClient.h"
#include "screen/server/ViewerListener.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

struct Accepted {
    std::mutex mutex;
    std::vector<std::shared_ptr<KLNetSocket>> sockets;
    size_t count() {
        std::lock_guard lock(mutex);
        return sockets.size();
    }
};

// Whether the service closed the client's connection within a second (reads end of stream).
bool closedByService(int client) {
    pollfd fd{client, POLLIN, 0};
    if (::poll(&fd, 1, 1000) != 1) return false;
    char byte;
    return ::recv(client, &byte, 1, 0) == 0;
}

TEST(ViewerListener, AcceptsRootAndTheSessionUserOnBothLoopbackAddresses) {
    const uid_t sessionUser = 1000;
    Accepted accepted;
    auto listener = std::make_unique<ViewerListener>(sessionUser, [&](std::shared_ptr<KLNetSocket> socket) {
        std::lock_guard lock(accepted.mutex);
        accepted.sockets.push_back(std::move(socket));
    });
    ASSERT_TRUE(listener->start(0));
    ASSERT_NE(listener->port(), 0);

    struct Case {
        int family;
        uid_t owner;
        bool admitted;
    };
    std::vector<Case> cases = {{AF_INET, ::geteuid(), ::geteuid() == 0 || ::geteuid() == sessionUser},
                               {AF_INET6, ::geteuid(), ::geteuid() == 0 || ::geteuid() == sessionUser}};
    if (::geteuid() == 0) {
        cases.push_back({AF_INET, sessionUser, true});
        cases.push_back({AF_INET, 65534, false});
        cases.push_back({AF_INET6, 65534, false});
    }
    size_t expected = 0;
    std::vector<int> clients;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.family << " uid " << c.owner);
        socklen_t length;
        sockaddr_storage address = loopbackSocketAddress(c.family, listener->port(), length);
        int client = test::socketOwnedBy(c.family, c.owner);
        ASSERT_GE(client, 0);
        clients.push_back(client);
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ASSERT_EQ(c.family, AF_INET6) << "IPv4 loopback must accept";
            continue;  // no IPv6 loopback on this machine
        }
        if (c.admitted) {
            ++expected;
            EXPECT_TRUE(test::waitFor([&] { return accepted.count() == expected; }, std::chrono::seconds(5)));
        } else {
            EXPECT_TRUE(closedByService(client));
            EXPECT_EQ(accepted.count(), expected);
        }
    }
    // Stopping joins the accept thread; the sockets handed over stay the receiver's.
    listener.reset();
    for (auto& socket : accepted.sockets) EXPECT_TRUE(socket->isConnected());
    for (int fd : clients) ::close(fd);
}

TEST(ViewerListener, APortInUseOnBothAddressesFailsToStart) {
    ViewerListener first(0, [](std::shared_ptr<KLNetSocket>) {});
    ASSERT_TRUE(first.start(0));
    ViewerListener second(0, [](std::shared_ptr<KLNetSocket>) {});
    EXPECT_FALSE(second.start(first.port()));
}

}  // namespace
}  // namespace kl

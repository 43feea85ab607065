// The owner of a loopback connection's far end, read from the kernel's socket tables: parsing of
// both table formats, and real connections made by this user and by another one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include "LoopbackClient.h"
#include "screen/server/LoopbackPeerOwner.h"

namespace kl {
namespace {

TcpEndpoint endpoint(const char* text, uint16_t port) {
    sockaddr_storage storage{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr) == 1) {
        storage.ss_family = AF_INET;
        reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr), 1) << text;
        storage.ss_family = AF_INET6;
        reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
    }
    return *tcpEndpointFromAddress(storage);
}

// Written as the kernel writes them on a little-endian machine.
constexpr const char* kTcp4 =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:1B59 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 101 1\n"
    "   1: 0100007F:D431 0100007F:1B59 01 00000000:00000000 00:00000000 00000000  1000        0 102 1\n"
    "   2: 0100007F:1B59 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0        0 103 1\n"
    "   3: garbage\n"
    "   4: 0100007F:D432 0100007F:1B59 01 00000000:00000000 00:00000000 00000000  notanumber 0 104 1\n";
constexpr const char* kTcp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000001000000:C350 00000000000000000000000001000000:1B59 01 00000000:00000000 "
    "00:00000000 00000000   65534        0 201 1\n";

TEST(LoopbackPeerOwner, FindsTheSocketWhoseEndsMatchInBothTableFormats) {
    if (htonl(1) == 1) GTEST_SKIP() << "fixture written for a little-endian machine";
    struct Case {
        const char* table;
        TcpEndpoint local, remote;
        std::optional<uid_t> owner;
    };
    const Case cases[] = {
        {kTcp4, endpoint("127.0.0.1", 0xD431), endpoint("127.0.0.1", 7001), 1000},
        {kTcp4, endpoint("127.0.0.1", 7001), endpoint("127.0.0.1", 0xD431), 0},  // the service's own end
        {kTcp4, endpoint("127.0.0.1", 0xD431), endpoint("127.0.0.1", 7002), std::nullopt},
        {kTcp4, endpoint("127.0.0.1", 0xD432), endpoint("127.0.0.1", 7001), std::nullopt},  // bad uid
        {kTcp4, endpoint("::1", 0xD431), endpoint("::1", 7001), std::nullopt},  // other family
        {kTcp6, endpoint("::1", 50000), endpoint("::1", 7001), 65534},
        {"", endpoint("::1", 50000), endpoint("::1", 7001), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(findTcpSocketOwner(c.table, c.local, c.remote), c.owner) << c.local.port;
}

// A listener on loopback of the family, a client socket created by ownerUid, and the service's
// accepted end.
struct LoopbackPair {
    int listener = -1, client = -1, accepted = -1;
    LoopbackPair(int family, uid_t ownerUid) {
        listener = ::socket(family, SOCK_STREAM, 0);
        socklen_t length;
        sockaddr_storage address = loopbackSocketAddress(family, 0, length);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 1) != 0) return;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        client = test::socketOwnedBy(family, ownerUid);
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) return;
        accepted = ::accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair() {
        for (int fd : {accepted, client, listener})
            if (fd >= 0) ::close(fd);
    }
};

TEST(LoopbackPeerOwner, NamesTheUserWhoseProgramConnected) {
    std::vector<uid_t> owners = {::geteuid()};
    if (::geteuid() == 0) owners.push_back(65534);  // another user needs root to pose as
    for (int family : {AF_INET, AF_INET6}) {
        for (uid_t owner : owners) {
            LoopbackPair pair(family, owner);
            if (pair.accepted < 0 && family == AF_INET6) GTEST_SKIP() << "no IPv6 loopback";
            ASSERT_GE(pair.accepted, 0);
            EXPECT_EQ(loopbackPeerOwner(pair.accepted), owner) << family;
            EXPECT_EQ(isPermittedViewerOwner(owner, 1000), owner == 0) << owner;
        }
    }
    EXPECT_FALSE(loopbackPeerOwner(-1));
}

}  // namespace
}  // namespace kl

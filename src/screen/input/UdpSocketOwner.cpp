#include "screen/input/UdpSocketOwner.h"

#include <netinet/in.h>

#include <fstream>
#include <sstream>
#include <string>

#include "screen/server/LoopbackPeerOwner.h"

namespace kl {

namespace {

std::string readWhole(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The unbound ends as the tables print them: IPv4 0.0.0.0 (held IPv4-mapped) and IPv6 "::".
TcpEndpoint anyV4(uint16_t port) {
    TcpEndpoint e;
    e.address[10] = e.address[11] = 0xff;
    e.port = port;
    return e;
}
TcpEndpoint anyV6(uint16_t port) {
    TcpEndpoint e;
    e.port = port;
    return e;
}

}  // namespace

std::optional<uid_t> findUdpSocketOwner(std::string_view udpTable, std::string_view udp6Table, const sockaddr_storage& bound) {
    auto local = tcpEndpointFromAddress(bound);
    if (!local) return std::nullopt;
    // A table line has the same layout as the TCP tables'. The sender is the socket bound at that
    // address and port, whatever it is connected to (a viewer's socket is usually connected to our
    // input port); a socket bound to the wildcard address shows a zero local address.
    for (std::string_view table : {udpTable, udp6Table})
        for (const TcpEndpoint& at : {*local, anyV4(local->port), anyV6(local->port)})
            if (auto owner = findTcpSocketOwner(table, at, std::nullopt)) return owner;
    return std::nullopt;
}

std::optional<uid_t> udpSocketOwner(const sockaddr_storage& bound) {
    return findUdpSocketOwner(readWhole("/proc/net/udp"), readWhole("/proc/net/udp6"), bound);
}

bool isLoopbackAddress(const sockaddr_storage& address) {
    auto endpoint = tcpEndpointFromAddress(address);
    if (!endpoint) return false;
    const auto& a = endpoint->address;
    bool mapped = a[10] == 0xff && a[11] == 0xff;
    bool zeroPrefix = true;
    for (int i = 0; i < 10; ++i) zeroPrefix = zeroPrefix && a[i] == 0;
    if (zeroPrefix && mapped) return a[12] == 127;
    bool v6Loopback = zeroPrefix && a[10] == 0 && a[11] == 0 && a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] == 1;
    return v6Loopback;
}

}  // namespace kl

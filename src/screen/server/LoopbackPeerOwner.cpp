#include "screen/server/LoopbackPeerOwner.h"

#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/KLNetSocketAddress.h"

namespace kl {
namespace {

std::optional<uint32_t> hex32(std::string_view text) {
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "0100007F:1B59" (IPv4) or 32 hex digits and a port (IPv6). The kernel prints each 32-bit word
// of the address as it lies in memory, so copying the parsed word back gives the address bytes.
std::optional<TcpEndpoint> parseTableEndpoint(std::string_view field) {
    size_t colon = field.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view address = field.substr(0, colon), port = field.substr(colon + 1);
    if ((address.size() != 8 && address.size() != 32) || port.size() != 4) return std::nullopt;
    auto portValue = hex32(port);
    if (!portValue) return std::nullopt;
    TcpEndpoint endpoint;
    endpoint.port = uint16_t(*portValue);
    size_t words = address.size() / 8;
    uint8_t* out = endpoint.address.data() + (words == 1 ? 12 : 0);
    if (words == 1) endpoint.address[10] = endpoint.address[11] = 0xff;
    for (size_t i = 0; i < words; ++i) {
        auto word = hex32(address.substr(i * 8, 8));
        if (!word) return std::nullopt;
        std::memcpy(out + i * 4, &*word, 4);
    }
    return endpoint;
}

std::string readWhole(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

sockaddr_storage loopbackSocketAddress(int family, uint16_t port, socklen_t& length) {
    sockaddr_storage address = wildcardSocketAddress(family, port);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_addr = in6addr_loopback;
    else
        reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = socketAddressLength(address);
    return address;
}

std::optional<TcpEndpoint> tcpEndpointFromAddress(const sockaddr_storage& address) {
    TcpEndpoint endpoint;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        endpoint.address[10] = endpoint.address[11] = 0xff;
        std::memcpy(endpoint.address.data() + 12, &v4.sin_addr, 4);
        endpoint.port = ntohs(v4.sin_port);
        return endpoint;
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(endpoint.address.data(), &v6.sin6_addr, 16);
        endpoint.port = ntohs(v6.sin6_port);
        return endpoint;
    }
    return std::nullopt;
}

std::optional<uid_t> findTcpSocketOwner(std::string_view table, const TcpEndpoint& local,
                                        const std::optional<TcpEndpoint>& remote) {
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
        // sl local rem st queues timer retransmits uid ...
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string field; f.size() < 8 && fields >> field;) f.push_back(field);
        if (f.size() < 8) continue;
        auto lineLocal = parseTableEndpoint(f[1]), lineRemote = parseTableEndpoint(f[2]);
        if (!lineLocal || !lineRemote || *lineLocal != local || (remote && *lineRemote != *remote)) continue;
        uid_t uid = 0;
        auto [end, error] = std::from_chars(f[7].data(), f[7].data() + f[7].size(), uid);
        if (error != std::errc() || end != f[7].data() + f[7].size()) continue;
        return uid;
    }
    return std::nullopt;
}

std::optional<uid_t> loopbackPeerOwner(int connectedDescriptor) {
    sockaddr_storage ours{}, theirs{};
    socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
    if (::getsockname(connectedDescriptor, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
        ::getpeername(connectedDescriptor, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0)
        return std::nullopt;
    auto local = tcpEndpointFromAddress(ours), peer = tcpEndpointFromAddress(theirs);
    if (!local || !peer) return std::nullopt;
    // The peer's socket: its local end is our peer, its remote end is us.
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"})
        if (auto owner = findTcpSocketOwner(readWhole(table), *peer, *local)) return owner;
    return std::nullopt;
}

}  // namespace kl

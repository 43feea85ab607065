// LoopbackPeerOwner: which user owns the far end of a TCP connection made over loopback. Every
// viewer reaches the service through the tunnel, whose end connects to the service's port on
// loopback; any other local program could connect there too, so a connection whose socket belongs
// to a user other than root or the session's user is refused. The owner comes from the kernel's
// socket tables (/proc/net/tcp and tcp6), where the peer's socket is the one whose local end is our
// remote end and whose remote end is our local end.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kl {

// An address and port, IPv4 held as its IPv4-mapped IPv6 form so both tables compare alike.
struct TcpEndpoint {
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;
    bool operator==(const TcpEndpoint&) const = default;
};

// 127.0.0.1 or ::1 with port; length receives the address's size.
sockaddr_storage loopbackSocketAddress(int family, uint16_t port, socklen_t& length);

std::optional<TcpEndpoint> tcpEndpointFromAddress(const sockaddr_storage& address);

// The uid on the line of a socket table (text of /proc/net/tcp or /proc/net/tcp6) whose local end
// is local and remote end is remote (any remote end when none is given); nothing when no line
// matches. Malformed lines are skipped.
std::optional<uid_t> findTcpSocketOwner(std::string_view table, const TcpEndpoint& local,
                                        const std::optional<TcpEndpoint>& remote);

// The owner of the peer socket of a connected descriptor, looked up in both tables.
std::optional<uid_t> loopbackPeerOwner(int connectedDescriptor);

// Root (the tunnel's daemon) and the session's own user may view the screen.
inline bool isPermittedViewerOwner(uid_t owner, uid_t sessionUser) { return owner == 0 || owner == sessionUser; }

}  // namespace kl

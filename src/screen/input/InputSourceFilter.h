// Which datagrams of the input socket come from the connected viewer. Only the viewer's own address
// may send, and only from one port: the one its first datagram came from. Over loopback any local
// program could send from that address, so the first port is taken only when the socket sending
// from it belongs to root (the tunnel's daemon) or the session's user.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <optional>

namespace kl {

class InputSourceFilter {
public:
    enum Verdict { Accepted, NoViewer, OtherAddress, OtherPort, ForeignOwner };
    using OwnerLookup = std::function<std::optional<uid_t>(const sockaddr_storage& bound)>;

    // owner: the owner of the local UDP socket bound at an address (default: the kernel's tables).
    explicit InputSourceFilter(uid_t sessionUser, OwnerLookup owner = {});

    // A new viewer (null: none); the port is chosen again by its first datagram.
    void viewerChanged(const sockaddr_storage* viewer);
    Verdict check(const sockaddr_storage& from);
    static const char* describe(Verdict verdict);

private:
    uid_t sessionUser_;
    OwnerLookup owner_;
    std::mutex mutex_;  // viewerChanged comes from the main channel's thread
    std::optional<sockaddr_storage> viewer_;
    std::optional<uint16_t> port_;
};

}  // namespace kl

// Which user owns the UDP socket bound at an address and port of this machine, from the kernel's
// socket tables (/proc/net/udp and udp6). The socket may be bound to that address or to the
// wildcard of either family; it must not be connected elsewhere.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>
#include <string_view>

namespace kl {

// The owner in the given tables' text (tests hand in their own).
std::optional<uid_t> findUdpSocketOwner(std::string_view udpTable, std::string_view udp6Table, const sockaddr_storage& bound);
std::optional<uid_t> udpSocketOwner(const sockaddr_storage& bound);

bool isLoopbackAddress(const sockaddr_storage& address);

}  // namespace kl

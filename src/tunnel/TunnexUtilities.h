// Text forms used in the tunnel's log lines and tables: IPv4 socket addresses and host UUIDs.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

namespace kl {

// Dotted-quad form of the address; nothing for a null pointer.
std::optional<std::string> AddressString(const sockaddr_in* address);
// "address:port" with the port converted from network order; nothing for a null pointer.
std::optional<std::string> AddressPortString(const sockaddr_in* address);

// The log form of a host UUID: texts of 8 or more characters are cut to their first 7 followed by
// " ..."; shorter texts (the empty text included) come back unchanged.
std::string TunnexDisplayableUUID(std::string_view uuid);

}  // namespace kl

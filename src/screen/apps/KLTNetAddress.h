// An address value: a socket address with its netmask and port, parsed from numeric IPv4 text.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kl {

struct KLTNetAddress {
    sockaddr_storage address{};
    sockaddr_storage netmask{};
    uint16_t port = 0;
    bool externalAddress = false;

    // Numeric IPv4 text only (no IPv6, no host names): an AF_INET address with port 6001 in
    // network order and every other byte zero; none otherwise.
    static std::optional<KLTNetAddress> addressFromTokenString(std::string_view text);
    // The numeric text of address for IPv4 and IPv6; none for another family.
    static std::optional<std::string> tokenStringFromAddress(const KLTNetAddress* address);
};

}  // namespace kl

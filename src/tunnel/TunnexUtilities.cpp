#include "tunnel/TunnexUtilities.h"

#include <arpa/inet.h>

namespace kl {

std::optional<std::string> AddressString(const sockaddr_in* address) {
    if (!address) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> AddressPortString(const sockaddr_in* address) {
    std::optional<std::string> host = AddressString(address);
    if (!host) return std::nullopt;
    return *host + ":" + std::to_string(ntohs(address->sin_port));
}

std::string TunnexDisplayableUUID(std::string_view uuid) {
    if (uuid.size() < 8) return std::string(uuid);
    return std::string(uuid.substr(0, 7)) + " ...";
}

}  // namespace kl

#include "screen/apps/KLTNetAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace kl {

namespace {
constexpr uint16_t kTokenAddressPort = 6001;
}

std::optional<KLTNetAddress> KLTNetAddress::addressFromTokenString(std::string_view text) {
    std::string copy(text);  // inet_pton wants a terminated string
    in_addr parsed{};
    if (::inet_pton(AF_INET, copy.c_str(), &parsed) != 1) return std::nullopt;
    KLTNetAddress result;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&result.address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(kTokenAddressPort);
    v4->sin_addr = parsed;
    return result;
}

std::optional<std::string> KLTNetAddress::tokenStringFromAddress(const KLTNetAddress* address) {
    if (!address) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    if (address->address.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(&address->address);
        if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) return std::string(text);
    } else if (address->address.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address->address);
        if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) return std::string(text);
    }
    return std::nullopt;
}

}  // namespace kl

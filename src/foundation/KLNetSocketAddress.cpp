#include "foundation/KLNetSocketAddress.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <string>

namespace kl {
namespace {

// Any IPv4 or IPv6 address as its 16-byte IPv6 form (IPv4 mapped into ::ffff:0:0/96).
bool asIPv6Bytes(const sockaddr* address, uint8_t out[16]) {
    if (address->sa_family == AF_INET6) {
        std::memcpy(out, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
        return true;
    }
    if (address->sa_family == AF_INET) {
        std::memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        std::memcpy(out + 12, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return true;
    }
    return false;
}

}  // namespace

socklen_t socketAddressLength(const sockaddr_storage& address) {
    switch (address.ss_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
    }
}

uint16_t socketAddressPort(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

void setSocketAddressPort(sockaddr_storage& address, uint16_t port) {
    if (address.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    if (address.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
}

std::string socketAddressString(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(socketAddressPort(address));
    }
    if (address.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(socketAddressPort(address));
    }
    return "(none)";
}

sockaddr_storage wildcardSocketAddress(int family, uint16_t port) {
    sockaddr_storage address{};
    if (family == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    setSocketAddressPort(address, port);
    return address;
}

bool getAddressForHost(std::string_view host, int family, int socketType, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    addrinfo* results = nullptr;
    if (::getaddrinfo(std::string(host).c_str(), nullptr, &hints, &results) != 0 || !results) return false;
    bool ok = results->ai_addrlen <= sizeof storage;
    if (ok) std::memcpy(&storage, results->ai_addr, results->ai_addrlen);
    ::freeaddrinfo(results);
    return ok;
}

bool convertDualStack(const sockaddr_in6& dualStack, sockaddr_in& oldIP) {
    if (dualStack.sin6_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&dualStack.sin6_addr)) return false;
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = dualStack.sin6_port;
    std::memcpy(&out.sin_addr, dualStack.sin6_addr.s6_addr + 12, 4);
    oldIP = out;
    return true;
}

bool sameHostAddress(const sockaddr* interfaceAddress, const sockaddr_storage& address) {
    if (!interfaceAddress) return false;
    if (interfaceAddress->sa_family == AF_INET && address.ss_family == AF_INET) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in*>(interfaceAddress)->sin_addr,
                           &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4) == 0;
    }
    uint8_t a[16], b[16];
    if (!asIPv6Bytes(interfaceAddress, a) || !asIPv6Bytes(reinterpret_cast<const sockaddr*>(&address), b)) return false;
    return std::memcmp(a, b, 16) == 0;
}

}  // namespace kl

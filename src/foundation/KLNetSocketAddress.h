// Socket-address helpers of KLNetSocket. Linux socket addresses carry no length byte, so the
// length is derived from the family: 16 bytes for IPv4, 28 for IPv6, 0 for anything else (which
// makes a send to an unset address fail cleanly instead of reading past it).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

socklen_t socketAddressLength(const sockaddr_storage& address);
// The port of an IPv4 or IPv6 address in host order; 0 for other families.
uint16_t socketAddressPort(const sockaddr_storage& address);
// Replaces the port of an IPv4 or IPv6 address (port in host order); other families are left alone.
void setSocketAddressPort(sockaddr_storage& address, uint16_t port);
// "192.0.2.1:80" or "[::1]:80" for logs; "(none)" for an unset address.
std::string socketAddressString(const sockaddr_storage& address);
// The wildcard address of a family on a port: IPv6 "::" for AF_INET6, else IPv4 0.0.0.0.
sockaddr_storage wildcardSocketAddress(int family, uint16_t port);

// Resolves text (a literal or a host name) restricted to family and socket type and stores the
// first result; false when the lookup fails (the storage is cleared either way).
bool getAddressForHost(std::string_view host, int family, int socketType, sockaddr_storage& storage);

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the plain IPv4 address with the same port;
// false, and nothing written, for any other address.
bool convertDualStack(const sockaddr_in6& dualStack, sockaddr_in& oldIP);

// True when address names the same host as interfaceAddress: two IPv4 addresses compare their four
// bytes, anything else compares as IPv6 with IPv4 taken as ::ffff:a.b.c.d. Ports are ignored.
bool sameHostAddress(const sockaddr* interfaceAddress, const sockaddr_storage& address);

}  // namespace kl

#include "tunnel/sockcore/SockAddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace kl {
namespace {

constexpr size_t kMaxCanonicalName = 8191;

const addrinfo* firstCandidate(const SockAddrPtr& addr) {
    return addr && addr->superfamily == SUPERFAMILY_IP ? addr->ais : nullptr;
}

void keepName(SockAddr* addr, const char* host) {
    std::strncpy(addr->hostname, host ? host : "", sizeof addr->hostname - 1);
    addr->hostname[sizeof addr->hostname - 1] = '\0';
}

}  // namespace

SockAddr::~SockAddr() {
    if (ais) freeaddrinfo(ais);
}

SockAddrPtr sk_namelookup(const char* host, std::string* canonical, int address_family) {
    auto addr = std::make_shared<SockAddr>();
    keepName(addr.get(), host);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = address_family == ADDRTYPE_IPV4 ? AF_INET : address_family == ADDRTYPE_IPV6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int rc = ::getaddrinfo(host ? host : "", nullptr, &hints, &addr->ais);
    if (rc != 0) {
        addr->ais = nullptr;
        addr->error = ::gai_strerror(rc);
        return addr;
    }
    addr->superfamily = SUPERFAMILY_IP;
    if (canonical) {
        const char* name = addr->ais->ai_canonname ? addr->ais->ai_canonname : (host ? host : "");
        *canonical = std::string(name, strnlen(name, kMaxCanonicalName));
    }
    return addr;
}

SockAddrPtr sk_nonamelookup(const char* host) {
    auto addr = std::make_shared<SockAddr>();
    keepName(addr.get(), host);
    return addr;
}

std::string sk_getaddr(const SockAddrPtr& addr) {
    const addrinfo* ai = firstCandidate(addr);
    if (!ai) return addr ? addr->hostname : "";
    char text[NI_MAXHOST];
    if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "<unknown>";
    }
    return text;
}

bool sk_hostname_is_local(const char* name) {
    return name && (std::strcmp(name, "localhost") == 0 || std::strcmp(name, "::1") == 0 ||
                    std::strncmp(name, "127.", 4) == 0);
}

bool sk_address_is_local(const SockAddrPtr& addr) {
    const addrinfo* ai = firstCandidate(addr);
    if (!ai) return false;
    if (ai->ai_family == AF_INET) {
        auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        return (ntohl(sin->sin_addr.s_addr) >> 24) == 127;
    }
    if (ai->ai_family == AF_INET6) {
        auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
        return IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr);
    }
    return false;
}

int sk_addrtype(const SockAddrPtr& addr) {
    const addrinfo* ai = firstCandidate(addr);
    if (!ai) return ADDRTYPE_NAME;
    return ai->ai_family == AF_INET6 ? ADDRTYPE_IPV6 : ADDRTYPE_IPV4;
}

void sk_addrcopy(const SockAddrPtr& addr, char* buf) {
    const addrinfo* ai = firstCandidate(addr);
    if (!ai) return;
    if (ai->ai_family == AF_INET) {
        std::memcpy(buf, &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
    } else if (ai->ai_family == AF_INET6) {
        std::memcpy(buf, &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr, 16);
    }
}

const char* sk_addr_error(const SockAddrPtr& addr) { return addr ? addr->error : "No address"; }

}  // namespace kl

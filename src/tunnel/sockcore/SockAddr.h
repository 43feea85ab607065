// Address records of the socket core: the result of a name look-up, shared by reference between
// the caller and the outgoing socket that tries its candidate addresses in turn.
#pragma once

#include <netdb.h>

#include <memory>
#include <string>

namespace kl {

// Address family codes at the core's interfaces.
enum : int {
    ADDRTYPE_UNSPEC = 0,  // either family
    ADDRTYPE_IPV4 = 1,
    ADDRTYPE_IPV6 = 2,
    ADDRTYPE_NAME = 3,  // sk_addrtype only: an unresolved name
};

// What a record holds.
enum : int {
    SUPERFAMILY_UNRESOLVED = 0,  // only a name (failed look-up, or kept for a proxy to resolve)
    SUPERFAMILY_IP = 2,          // the resolver's list of candidate addresses
};

struct SockAddr {
    const char* error = nullptr;  // the resolver's message; null on success (static text)
    int superfamily = SUPERFAMILY_UNRESOLVED;
    addrinfo* ais = nullptr;  // candidates, in the resolver's order
    char hostname[512] = {};  // the name as given

    SockAddr() = default;
    ~SockAddr();
    SockAddr(const SockAddr&) = delete;
    SockAddr& operator=(const SockAddr&) = delete;
};

// Records are shared: a copy of the pointer is a new reference; the last one frees the record.
using SockAddrPtr = std::shared_ptr<SockAddr>;

// Resolves host (address_family: ADDRTYPE_UNSPEC, _IPV4 or _IPV6) for stream sockets. On failure
// the record's error is the resolver's message and *canonical is untouched; on success
// *canonical (when not null) receives the canonical name, or host when the resolver gives none.
SockAddrPtr sk_namelookup(const char* host, std::string* canonical, int address_family);
// A record that only keeps the name (first 511 characters), for a proxy to resolve.
SockAddrPtr sk_nonamelookup(const char* host);

// The first address as numeric text ("<unknown>" when it cannot be converted), or the kept name
// of an unresolved record.
std::string sk_getaddr(const SockAddrPtr& addr);
// "localhost", "::1" or a name starting with "127.".
bool sk_hostname_is_local(const char* name);
// True when the first address is loopback (IPv4 127.x.x.x or exactly ::1).
bool sk_address_is_local(const SockAddrPtr& addr);
// ADDRTYPE_IPV4, ADDRTYPE_IPV6, or ADDRTYPE_NAME for an unresolved record.
int sk_addrtype(const SockAddrPtr& addr);
// Copies the 4 or 16 address bytes of the first candidate into buf.
void sk_addrcopy(const SockAddrPtr& addr, char* buf);
// The record's error text, or null.
const char* sk_addr_error(const SockAddrPtr& addr);

}  // namespace kl

// Outgoing connections through a proxy. When the configuration names one and the destination is
// not excluded, new_connection() returns a proxy socket: to its owner it is the connection; to
// the core it is the owner (plug) of a TCP connection to the proxy. Until the proxy has connected
// through, it holds back what the owner writes and reads the proxy's replies itself; afterwards
// every call passes straight through. Failures reach the owner's closing() with a "Proxy error:"
// text and PROXY_ERROR_GENERAL (or _UNEXPECTED); a reply that does not fit is refused, never
// overread.
//
// Threads: as every core socket (Socket.h): new_connection() and every call need the core lock,
// and the owner's callbacks run under it.
#pragma once

#include <string>

#include "tunnel/sockcore/ProxyConfig.h"
#include "tunnel/sockcore/SockAddr.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

// Whether a connection to hostname (and addr, when resolved) goes through the configured proxy.
bool proxy_for_destination(const SockAddrPtr& addr, const char* hostname, const ProxyConfig& cfg);

// The connection entry points with a configuration; with proxy type PROXY_NONE they are
// sk_namelookup and sk_new. A name to be resolved by the proxy comes back as an unresolved record
// (and itself as the canonical name).
SockAddrPtr name_lookup(const char* host, int port, std::string* canonical, const ProxyConfig& cfg, int address_family);
SocketPtr new_connection(SockAddrPtr addr, const char* hostname, int port, bool privport, bool oobinline, bool nodelay,
                         bool keepalive, const PlugPtr& plug, const ProxyConfig& cfg);

// The local proxy command (PROXY_CMD): runs it and joins its standard input and output to a
// socket; null for any other proxy type.
SocketPtr platform_new_connection(const SockAddrPtr& addr, const char* hostname, int port, bool privport, bool oobinline,
                                  bool nodelay, bool keepalive, const PlugPtr& plug, const ProxyConfig& cfg);

// The telnet proxy's command (and the local proxy command) with its escapes expanded:
// \\ \% \n \r \t and \xHH give that character or byte (any other backslash stays); %host %port
// %user %pass %proxyhost %proxyport and %% give those values (any other "%" stays).
std::string format_telnet_command(const SockAddrPtr& addr, const char* hostname, int port, const ProxyConfig& cfg);

}  // namespace kl

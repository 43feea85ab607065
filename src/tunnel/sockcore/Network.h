// The socket core's TCP layer: outgoing connections with fallback over candidate addresses,
// listeners (optionally loopback-only; an IPv6 listener with an IPv4 companion), wrapping of
// accepted descriptors, and the event handler that the select thread's result passes call.
//
// Every function here requires the caller to hold the core lock (see OSXSel.h), sk_init and
// sk_ossocket aside; every Plug callback runs under it. Creation never returns null: a failure is
// seen through Socket::socketError().
//
// Start-up, once per process: osxsel_init() then sk_init(); both also run on first use.
#pragma once

#include <string>

#include "tunnel/sockcore/SockAddr.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

// Creates the socket table (after starting the select thread when needed).
void sk_init();

// An outgoing connection to port at the candidates of addr, tried in order: an attempt that fails
// at once moves on to the next; one that fails later (refused, unreachable) is logged to the plug
// as type 1 and the next candidate is tried, and only when none is left does the plug get
// closing(). With every candidate failing at once, the socket's error is the last failure's text
// and closing() is not called. privport binds a local port below 1024 (counting down from 1023);
// oobinline receives urgent data inline; nodelay and keepalive set those options.
SocketPtr sk_new(SockAddrPtr addr, int port, bool privport, bool oobinline, bool nodelay, bool keepalive,
                 const PlugPtr& plug);

// A listener on port (0 picks one). address_family ADDRTYPE_IPV4 or _IPV6 listens on that family;
// ADDRTYPE_UNSPEC listens on IPv6 with an IPv4 companion on the same port (both live and die
// together); when the IPv6 socket cannot be opened at all it falls back to IPv4 alone. If the
// companion fails, its record (carrying the error) is returned and the IPv6 socket is closed.
// srcaddr (numeric, may be null) binds that address only; without it local_host_only binds the
// loopback address, else the wildcard. local_host_only also refuses (closes silently) every peer
// that is not loopback (127.x.x.x or exactly ::1). Accepted descriptors reach plug->accepting();
// after a failed accept for lack of descriptors or memory, accepting pauses for 100 ms.
SocketPtr sk_newlistener(const char* srcaddr, int port, const PlugPtr& plug, bool local_host_only,
                         int address_family);

// Wraps a connected descriptor (one a listener accepted) in a socket that starts connected,
// writable and frozen: nothing is read until setFrozen(false). The descriptor is made non-blocking.
// A negative fd gives a socket that carries the system error text (errno at the call) and is not
// watched.
SocketPtr sk_register(int fd, const PlugPtr& plug);

// The descriptor of a core socket (-1 once closed); 0 for null. Any thread, without the core lock.
int sk_ossocket(const SocketPtr& s);

// The core's select callback (event SELECT_R, _W or _X for descriptor fd).
int net_select_result(int fd, int event);

// The tunnel's entry points. The tunnel never configures a proxy, so these go direct.
SocketPtr new_listener(const char* srcaddr, int port, const PlugPtr& plug, bool local_host_only, int address_family);
SockAddrPtr name_lookup(const char* host, int port, std::string* canonical, int address_family);
SocketPtr new_connection(SockAddrPtr addr, const char* hostname, int port, bool privport, bool oobinline, bool nodelay,
                         bool keepalive, const PlugPtr& plug);

}  // namespace kl

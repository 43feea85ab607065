// A kernel packet filter on a punched UDP socket before the reliable transport takes it over.
//
// The transport library trusts what the network sends: a handshake's maximum segment size and
// flight size go straight into buffer allocations in its receive thread, where an out-of-range
// value aborts the process. It also lets a copy of its packets from any sender disturb a
// connection. The filter runs in the kernel, before the library reads a byte: it passes only
// datagrams from the peer's address and port, and of those, handshakes only with fields within
// the bounds below.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "tunnel/TunnexResult.h"

namespace kl {

// The handshake fields this system's own nodes send lie well inside these bounds.
inline constexpr uint32_t kTunnexUDTMinimumSegmentSize = 76;  // the library's own lower limit
inline constexpr uint32_t kTunnexUDTMaximumSegmentSize = 1500;
inline constexpr uint32_t kTunnexUDTMinimumFlightSize = 32;
inline constexpr uint32_t kTunnexUDTMaximumFlightSize = 25600;

// Attaches the filter to udpFd and discards the datagrams already queued (they were not
// filtered; the peer repeats its handshake). The system's error (logged) when the filter cannot be
// attached.
TunnexResult<void> tunnexGuardUDTSocket(int udpFd, const sockaddr_in& peer);

}  // namespace kl

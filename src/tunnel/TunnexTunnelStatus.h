// The state of a tunnel toward one remote machine, as reported to the daemon and carried to the
// control app under "tunnexConnectionStatus".
#pragma once

#include <cstdint>

namespace kl {

enum TunnexTunnelStatus : int32_t {
    TunnexTunnelDisconnected = 0,
    TunnexTunnelQueueing = 1,
    TunnexTunnelInviting = 2,
    TunnexTunnelConnecting = 3,
    TunnexTunnelEncrypting = 4,
    TunnexTunnelConnected = 5,
};

}  // namespace kl

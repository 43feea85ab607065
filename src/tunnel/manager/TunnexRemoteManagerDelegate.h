// The receiver of the tunnel manager's status reports (the daemon manager).
#pragma once

#include <string>

#include "tunnel/TunnexTunnelStatus.h"

namespace kl {

// Called from a global queue, or from the main loop for connection time-outs.
class TunnexRemoteManagerDelegate {
public:
    virtual ~TunnexRemoteManagerDelegate() = default;
    // A tunnel's status changed. The status may be any value the tunnel reports.
    virtual void reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus connectionStatus) = 0;
    // A finished tunnel was abandoned.
    virtual void reportTimeoutForUUID(const std::string& uuid) = 0;
};

}  // namespace kl

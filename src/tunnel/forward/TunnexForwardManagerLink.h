// src/tunnel/forward: what forwarded ports ask of the tunnel manager.
//
// A peer is handed the manager that serves its forwards; each forward's record keeps it weakly,
// so the forward code never reaches for a process-wide slot nor needs to know the manager's class.
#pragma once

#include <memory>
#include <string>

namespace kl {

class TunnexChannelRequest;
class TunnexPeer;
class TunnexRemotePeer;
class TunnexServiceConnector;

// Called from the main loop, the socket core's threads and the global pool; implementations
// serialise their tables.
class TunnexForwardManagerLink {
public:
    virtual ~TunnexForwardManagerLink() = default;

    // The peer that serves the UUID, and the manager's record of that machine.
    virtual std::shared_ptr<TunnexPeer> peerForUUID(const std::string& uuid) const = 0;
    virtual std::shared_ptr<TunnexRemotePeer> remotePeerForUUID(const std::string& uuid) const = 0;
    // The service's remote becomes known to the manager.
    virtual void registerRemoteWithServiceConnector(const std::shared_ptr<TunnexServiceConnector>& connector) = 0;
    // A client accepted on a forward while the tunnel is up: open its channel now.
    virtual void dispatchChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) = 0;
    // A client accepted while the tunnel is down waits here until the tunnel comes up.
    virtual void addChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) = 0;
    virtual bool recentStartAttemptForRemoteUUID(const std::string& uuid) const = 0;
    virtual void fulfillQueuedChannelRequestsForUUID(const std::string& uuid) = 0;
    // A data channel to the remote could not be opened: its waiting clients are let go.
    virtual void channelRequestFailedForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
};

}  // namespace kl

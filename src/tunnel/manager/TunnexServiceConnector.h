// What a remote service seen through the tunnel looks like to the tunnel library. The daemon's
// holders of forwarded local ports implement it; the tunnel only ever holds them by this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kl {

class TunnexPeer;
class TunnexRemotePeer;

// Implementations are called from several tunnel threads and guard their own fields.
class TunnexServiceConnector {
public:
    virtual ~TunnexServiceConnector() = default;

    // The service is about to go away: forget the remote record and the remote-service flag.
    virtual void willEndRemoteService() = 0;
    // The tunnel peer that serves the service, and the remote machine's record (either may be empty).
    virtual std::shared_ptr<TunnexPeer> peer() const = 0;
    virtual std::shared_ptr<TunnexRemotePeer> remotePeer() const = 0;
    virtual bool hasRemoteService() const = 0;

    // The key under which the tunnel keeps the service.
    virtual std::string serviceKey() const = 0;
    virtual void setServiceKey(std::string serviceKey) = 0;
    // The machine UUID of the host whose service this stands for; empty when never set.
    virtual std::string hostUUID() const = 0;
    virtual void setHostUUID(std::string hostUUID) = 0;
    virtual std::string domain() const = 0;
    virtual void setDomain(std::string domain) = 0;
    // The DNS-SD service type.
    virtual std::string type() const = 0;
    virtual void setType(std::string type) = 0;
    virtual std::string name() const = 0;
    virtual void setName(std::string name) = 0;
    // The account server's identifier of the host.
    virtual std::string serverID() const = 0;
    virtual void setServerID(std::string serverID) = 0;
    // The local port on which the forward listens, and the service's port on the remote host.
    virtual uint16_t localPort() const = 0;
    virtual void setLocalPort(uint16_t port) = 0;
    virtual uint16_t remotePort() const = 0;
    virtual void setRemotePort(uint16_t port) = 0;
};

// The common ancestor of the daemon's connectors; it adds nothing, so the tunnel can name the
// family of its connectors without knowing any daemon class.
class TunnexServiceConnectorBase : public TunnexServiceConnector {
protected:
    TunnexServiceConnectorBase() = default;
};

}  // namespace kl

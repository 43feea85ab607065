// One local TCP connection, accepted on a forwarded port, that waits for a data channel through
// the tunnel. It carries everything that opening the channel later needs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Value.h"
#include "tunnel/TunnexClock.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

class TunnexPeer;
class TunnexRemotePeer;
class TunnexServiceConnector;

// Made on the forwarding thread and consumed on the manager's and the remote's queues; the
// fields are guarded so a late setter cannot race a reader.
class TunnexChannelRequest {
public:
    // Opens the data channel for the request and returns at once; done (which may be empty) gets
    // an informational result once the channel is bridged or has failed.
    using ChannelBlockDone = std::function<void(int32_t result)>;
    using CreateChannelBlock =
        std::function<void(const std::shared_ptr<TunnexChannelRequest>& request, ChannelBlockDone done)>;

    // Waiting requests older than this are not served any more.
    static constexpr double kRecentSeconds = 90.0;

    TunnexChannelRequest(std::shared_ptr<TunnexServiceConnector> service, std::shared_ptr<TunnexPeer> peer,
                         std::shared_ptr<TunnexRemotePeer> remotePeer, uint16_t port, std::string hostname,
                         int32_t socket, TunnexClock clock = tunnexSystemClock());

    // At most 90 seconds old (exactly 90 still counts).
    bool recentChannelRequest() const;

    std::shared_ptr<TunnexServiceConnector> service() const;
    void setService(std::shared_ptr<TunnexServiceConnector> service);
    // The port the remote side is to connect to (the service's port).
    uint16_t port() const;
    void setPort(uint16_t port);
    // The accepted local socket that waits, frozen, for the channel.
    int32_t orgSocket() const;
    void setOrgSocket(int32_t socket);
    // The host the remote side is to connect to on its side.
    std::string hostname() const;
    void setHostname(std::string hostname);
    CreateChannelBlock createChannelBlock() const;
    void setCreateChannelBlock(CreateChannelBlock block);
    std::shared_ptr<TunnexPeer> peer() const;
    void setPeer(std::shared_ptr<TunnexPeer> peer);
    std::shared_ptr<TunnexRemotePeer> remotePeer() const;
    void setRemotePeer(std::shared_ptr<TunnexRemotePeer> remotePeer);
    Date channelRequestDate() const;
    void setChannelRequestDate(Date date);

    // The accepted connection itself, wrapped by the core and frozen. The request owns it: a
    // request that fails or is dropped unserved closes it, so no client is left hanging.
    void setLocalSocket(SocketPtr socket);
    // Hands the connection over to the channel that serves it; the request no longer owns it.
    SocketPtr takeLocalSocket();
    // Closes the connection unless it was handed over. Outside the core lock (it takes it).
    void closeLocalSocket();
    ~TunnexChannelRequest();

private:
    TunnexClock clock_;
    mutable std::mutex mutex_;
    std::shared_ptr<TunnexServiceConnector> service_;
    uint16_t port_;
    int32_t orgSocket_;
    std::string hostname_;
    CreateChannelBlock createChannelBlock_;
    std::shared_ptr<TunnexPeer> peer_;
    std::shared_ptr<TunnexRemotePeer> remotePeer_;
    Date channelRequestDate_;
    SocketPtr localSocket_;
};

}  // namespace kl

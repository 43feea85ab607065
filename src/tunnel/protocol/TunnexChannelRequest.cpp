#include "tunnel/protocol/TunnexChannelRequest.h"

#include "platform/Executors.h"
#include "tunnel/forward/PFwdPrivate.h"
#include "tunnel/TunnexGuardedAccessors.h"

namespace kl {

TunnexChannelRequest::TunnexChannelRequest(std::shared_ptr<TunnexServiceConnector> service,
                                           std::shared_ptr<TunnexPeer> peer,
                                           std::shared_ptr<TunnexRemotePeer> remotePeer, uint16_t port,
                                           std::string hostname, int32_t socket, TunnexClock clock)
    : clock_(clock ? std::move(clock) : tunnexSystemClock()),
      service_(std::move(service)),
      port_(port),
      orgSocket_(socket),
      hostname_(std::move(hostname)),
      peer_(std::move(peer)),
      remotePeer_(std::move(remotePeer)),
      channelRequestDate_(clock_()) {}

bool TunnexChannelRequest::recentChannelRequest() const {
    return clock_().secondsSince1970 - channelRequestDate().secondsSince1970 <= kRecentSeconds;
}

// The last reference may go in a result pass or outside one, so the close runs from a task.
TunnexChannelRequest::~TunnexChannelRequest() {
    if (SocketPtr socket = takeLocalSocket()) globalQueue().async([socket] { pfd_close(socket); });
}

void TunnexChannelRequest::setLocalSocket(SocketPtr socket) {
    std::lock_guard lock(mutex_);
    localSocket_ = std::move(socket);
}

SocketPtr TunnexChannelRequest::takeLocalSocket() {
    std::lock_guard lock(mutex_);
    return std::move(localSocket_);
}

void TunnexChannelRequest::closeLocalSocket() {
    if (SocketPtr socket = takeLocalSocket()) pfd_close(socket);
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, std::shared_ptr<TunnexServiceConnector>, service, setService, service_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, uint16_t, port, setPort, port_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, int32_t, orgSocket, setOrgSocket, orgSocket_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, std::string, hostname, setHostname, hostname_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, TunnexChannelRequest::CreateChannelBlock, createChannelBlock, setCreateChannelBlock,
                     createChannelBlock_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, std::shared_ptr<TunnexPeer>, peer, setPeer, peer_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, std::shared_ptr<TunnexRemotePeer>, remotePeer, setRemotePeer, remotePeer_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexChannelRequest, mutex_, Date, channelRequestDate, setChannelRequestDate, channelRequestDate_)

}  // namespace kl

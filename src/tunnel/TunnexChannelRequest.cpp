#include "tunnel/TunnexChannelRequest.h"

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

#define KL_GUARDED_ACCESSORS(Type, getter, setter, field)   \
    Type TunnexChannelRequest::getter() const {             \
        std::lock_guard lock(mutex_);                       \
        return field;                                       \
    }                                                       \
    void TunnexChannelRequest::setter(Type value) {         \
        std::lock_guard lock(mutex_);                       \
        field = std::move(value);                           \
    }

KL_GUARDED_ACCESSORS(std::shared_ptr<TunnexServiceConnector>, service, setService, service_)
KL_GUARDED_ACCESSORS(uint16_t, port, setPort, port_)
KL_GUARDED_ACCESSORS(int32_t, orgSocket, setOrgSocket, orgSocket_)
KL_GUARDED_ACCESSORS(std::string, hostname, setHostname, hostname_)
KL_GUARDED_ACCESSORS(TunnexChannelRequest::CreateChannelBlock, createChannelBlock, setCreateChannelBlock,
                     createChannelBlock_)
KL_GUARDED_ACCESSORS(std::shared_ptr<TunnexPeer>, peer, setPeer, peer_)
KL_GUARDED_ACCESSORS(std::shared_ptr<TunnexRemotePeer>, remotePeer, setRemotePeer, remotePeer_)
KL_GUARDED_ACCESSORS(Date, channelRequestDate, setChannelRequestDate, channelRequestDate_)

#undef KL_GUARDED_ACCESSORS

}  // namespace kl

// KLNetRTPBroadcastSocket: the listening side of the RTP output path. Instead of waiting for a
// viewer it presents, as soon as it is asked to listen, one outbound RTP socket to its handler,
// exactly as a listener hands over an accepted connection.
#pragma once

#include <functional>
#include <memory>

#include "screen/rtp/KLNetOutboundRTPSocket.h"

namespace kl {

class KLNetRTPBroadcastSocket {
public:
    using AcceptHandler = std::function<void(std::shared_ptr<ViewerChannel>)>;

    explicit KLNetRTPBroadcastSocket(RTPDestinations destinations = {}) : mDestinations(std::move(destinations)) {}

    // The port is not used: the handler receives a new outbound RTP socket at once. Always true.
    bool listenOnPort(uint16_t port, AcceptHandler handler);
    void startMulticastWithMulticastSocket(std::shared_ptr<KLNetOutboundRTPSocket> socket);
    bool isOpen() const { return true; }

private:
    RTPDestinations mDestinations;
    AcceptHandler mHandler;
};

}  // namespace kl

#include "screen/rtp/KLNetRTPBroadcastSocket.h"

namespace kl {

bool KLNetRTPBroadcastSocket::listenOnPort(uint16_t, AcceptHandler handler) {
    mHandler = std::move(handler);
    startMulticastWithMulticastSocket(std::make_shared<KLNetOutboundRTPSocket>(mDestinations));
    return true;
}

void KLNetRTPBroadcastSocket::startMulticastWithMulticastSocket(std::shared_ptr<KLNetOutboundRTPSocket> socket) {
    if (mHandler) mHandler(std::move(socket));
}

}  // namespace kl

// TunnexPeer's handling of the forwarding messages that arrive on the main channel. Data channels
// and local forwards are not part of this library yet, so each request is refused to the remote
// with a failed result (never reported as a success), a datagram for a forward that does not exist
// is dropped, and a close for an unknown channel changes nothing. The remote's results reach the
// peer's delegate.
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/TunnexChannelHash.h"
#include "tunnel/TunnexEncryption.h"
#include "tunnel/TunnexMainChannelMessage.h"
#include "tunnel/TunnexPeer.h"

namespace kl {
namespace {

void sendRefusal(TunnexPeer& peer, TunnexForwardKind kind, const std::string& host, uint16_t port, uint32_t hash) {
    auto result = encodeTunnexForwardResult({uint8_t(kind), host, port, hash, false});
    if (result) peer.sendMainChannelMessage(*result);
}

}  // namespace

void TunnexPeer::addRemoteForward(const TunnexForwardRequest& request) {
    KLLog(kKLTLoggingLevelError, "Refusing forward to %s:%d (channel %s): data channels are not available",
          request.host.c_str(), int(request.port), StringForChannelHash(request.chanHash).c_str());
    sendRefusal(*this, TunnexForwardKind::Stream, request.host, request.port, request.chanHash);
}

void TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& request) {
    KLLog(kKLTLoggingLevelError, "Refusing datagram forward to %s:%d (channel %s): datagram forwards are not available",
          request.host.c_str(), int(request.port), StringForChannelHash(request.chanHash).c_str());
    sendRefusal(*this, TunnexForwardKind::LocalDatagram, request.host, request.port, request.chanHash);
}

void TunnexPeer::addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request) {
    KLLog(kKLTLoggingLevelError, "Refusing datagram listener on port %d (channel %s): datagram forwards are not available",
          int(request.port), StringForChannelHash(request.chanHash).c_str());
    sendRefusal(*this, TunnexForwardKind::RemoteDatagram, std::string(), 0, request.chanHash);
}

void TunnexPeer::deliverForwardDatagram(const TunnexForwardDatagram& datagram) {
    // The inbound stream runs over every forwarded datagram in order, so it advances even for one
    // that is dropped; otherwise every later datagram would decrypt wrongly.
    if (usingEncryption()) {
        CryptoPP::SecByteBlock block(datagram.payload.data(), datagram.payload.size());
        getEncryptor()->decryptByteBlock(block);
    }
    KLLog(kKLTLoggingLevelVerbose, "Datagram of %zu bytes for channel %s dropped: no such datagram forward",
          datagram.payload.size(), StringForChannelHash(datagram.chanHash).c_str());
}

void TunnexPeer::reportPortForwardResult(const ForwardSuccessResult& result) {
    std::weak_ptr<TunnexPeer> weak = weak_from_this();
    globalQueue().async([weak, result] {
        auto self = weak.lock();
        if (!self) return;
        if (auto target = self->delegate()) target->tunnexPeerPortForwardResult(self, result, self->stunPeer());
    });
}

void TunnexPeer::closeChannelForHash(uint32_t channelHash) {
    KLLog(kKLTLoggingLevelInfo, "mainChannel - received TunnexSocketCloseMsg message for chanHash: %d (%s)",
          int(channelHash), StringForChannelHash(channelHash).c_str());
    // No data channel is kept under any hash yet, so there is nothing to mark.
}

}  // namespace kl

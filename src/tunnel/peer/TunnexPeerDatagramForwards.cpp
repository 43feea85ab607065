// TunnexPeer's datagram forwards and the results of every kind of forward. A datagram forward is a
// UDP socket that listens on one side, whose datagrams the dispatcher relays over the main channel
// (TunnexPeerDispatch.cpp), and a UDP socket on the other side that sends each delivered datagram
// on to the forward's host and port. Both sockets sit in the peer's TunnexDatagramForwardTable under
// the key of the forward's hash, the sending side's with its destination port.
// Datagrams travel from the listening side to the sending side only.
//
// When the tunnel encrypts, one outbound and one inbound stream run over all forwarded datagrams
// of the tunnel in order: the receiver decrypts every datagram, including one it then drops, so
// the streams stay in step.
#include <cryptopp/secblock.h>

#include <chrono>
#include <thread>

#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/sockcore/NameResolver.h"

namespace kl {
namespace {

// How long a new listening socket may take to report its bind.
constexpr auto kBindWaitLimit = std::chrono::seconds(5);
constexpr auto kBindWaitStep = std::chrono::milliseconds(2);

// 64-bit FNV-1a: stable across runs and builds, unlike std::hash.
uint64_t stableStringHash(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : text) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

uint32_t TunnexPeer::datagramForwardHash(uint16_t listeningPort) {
    static const uint32_t machineHash =
        uint32_t(stableStringHash(KLDevice::UDID().value_or(localMachineUUID())) & 0xFFFFFFFFu);
    return machineHash ^ uint32_t(listeningPort);
}

// --- requests ---

uint16_t TunnexPeer::requestDatagramForward(uint16_t localPort, const std::string& host, uint16_t remotePort,
                                            bool loopbackOnly, const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (localPort == 0) {
        KLLog(kKLTLoggingLevelError, "A datagram forward needs a local port");
        return 0;
    }
    const uint32_t hash = datagramForwardHash(localPort);
    auto message =
        encodeTunnexForwardRequest(TunnexMainChannelMessageType::TunnexLocalUDPForward, {host, remotePort, hash});
    if (!message) return 0;
    // The socket listens on every interface; the relay drops what another machine sent. Marked
    // before the socket listens, so no foreign datagram slips through meanwhile.
    if (loopbackOnly) datagramForwards_.markLoopbackOnly(hash);
    if (!addRemoteUDPForward({localPort, hash}, remotePeer)) return 0;
    if (!sendMainChannelMessage(*message)) {
        // Without the remote's half nothing would ever leave the listener.
        KLLog(kKLTLoggingLevelError, "Datagram forward on port %d not requested: the main channel is not open",
              int(localPort));
        datagramForwards_.removeAndClose(StringForChannelHash(hash));
        return 0;
    }
    return localPort;
}

uint16_t TunnexPeer::requestReversePortForwardToPort(uint16_t destinationPort, const std::string& host,
                                                     uint16_t listeningPort,
                                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                     Error* error) {
    (void)error;  // never written: the log says why
    KLLog(kKLTLoggingLevelDebug, "requestReversePortForwardToPort:%d fromPort:%d", int(destinationPort),
          int(listeningPort));
    if (listeningPort == 0) {
        KLLog(kKLTLoggingLevelError, "A reverse datagram forward needs a listening port");
        return 0;
    }
    const uint32_t hash = datagramForwardHash(listeningPort);
    // This side's half first: a remote listener whose datagrams could go nowhere would be a
    // forward reported as made that never delivers.
    if (!addLocalUDPForward({host, destinationPort, hash}, remotePeer)) return 0;
    if (!sendMainChannelMessage(encodeTunnexRemoteUDPForward({listeningPort, hash}))) {
        KLLog(kKLTLoggingLevelError, "Reverse datagram forward from port %d not requested: the main channel is not open",
              int(listeningPort));
        datagramForwards_.removeAndClose(StringForChannelHash(hash));
        return 0;
    }
    return listeningPort;
}

// --- the two halves ---

bool TunnexPeer::addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& forward,
                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    (void)remotePeer;
    auto socket = datagramForwards_.startListener(forward, weak_from_this());
    if (!socket) return false;
    // The loop binds on its own thread and ends at once when the port is taken.
    const auto deadline = std::chrono::steady_clock::now() + kBindWaitLimit;
    while (TunnexDatagramForwardTable::bindPending(**socket, deadline)) std::this_thread::sleep_for(kBindWaitStep);
    return datagramForwards_.listenerBound(forward, **socket).ok();
}

bool TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& forward,
                                    const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    (void)remotePeer;
    std::optional<sockaddr_storage> address = TunnexDatagramForwardTable::resolve(forward);
    return address && datagramForwards_.openSendingSide(forward, *address).ok();
}

size_t TunnexPeer::datagramForwardCount() const { return datagramForwards_.size(); }

// --- the main channel's messages ---

// The host may need a slow lookup: it runs on the resolver's thread, neither on the poll thread
// (which reads every tunnel's main channel) nor on the pool. Datagrams of the forward that arrive
// before it is entered are dropped, as on any network path that is still being set up; the
// requester learns from the result when it is.
void TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& request) {
    std::weak_ptr<TunnexPeer> weak = weak_from_this();
    NameResolver::shared().post([weak, request] {
        std::optional<sockaddr_storage> address = TunnexDatagramForwardTable::resolve(request);
        globalQueue().async([weak, request, address] {
            auto self = weak.lock();
            if (!self) return;
            self->sendLocalUDPForwardResult(
                address && self->datagramForwards_.openSendingSide(request, *address).ok(), request);
        });
    });
}

// The bind is looked at on a timer, so no thread waits for the listener's loop meanwhile.
void TunnexPeer::addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request) {
    auto socket = datagramForwards_.startListener(request, weak_from_this());
    if (!socket) {
        sendRemoteUDPForwardResult(false, request);
        return;
    }
    awaitDatagramBind(weak_from_this(), request, *socket, std::chrono::steady_clock::now() + kBindWaitLimit);
}

void TunnexPeer::awaitDatagramBind(const std::weak_ptr<TunnexPeer>& weak, const TunnexRemoteUDPForwardRequest& request,
                                   const std::shared_ptr<KLNetSocket>& socket,
                                   std::chrono::steady_clock::time_point deadline) {
    if (TunnexDatagramForwardTable::bindPending(*socket, deadline)) {
        globalQueue().after(kBindWaitStep, [weak, request, socket, deadline] {
            awaitDatagramBind(weak, request, socket, deadline);
        });
        return;
    }
    if (auto self = weak.lock()) {
        self->sendRemoteUDPForwardResult(self->datagramForwards_.listenerBound(request, *socket).ok(), request);
    }
}

void TunnexPeer::deliverForwardDatagram(const TunnexForwardDatagram& datagram) {
    Bytes payload = datagram.payload;
    if (usingEncryption() && !payload.empty()) {
        // Main-channel messages are read one at a time: the inbound stream runs over them in order.
        CryptoPP::SecByteBlock block(payload.data(), payload.size());
        CryptoPP::SecByteBlock plain = getEncryptor()->decryptByteBlock(block);
        if (plain.size() != payload.size()) {
            KLLog(kKLTLoggingLevelError, "Forwarded datagram for channel %s dropped: the inbound stream is not keyed",
                  StringForChannelHash(datagram.chanHash).c_str());
            return;
        }
        payload.assign(plain.begin(), plain.end());
    }
    datagramForwards_.deliver(datagram.chanHash, payload);
}

// --- results ---

namespace {

void sendResult(TunnexPeer& peer, const ForwardSuccessResult& result) {
    if (auto message = encodeTunnexForwardResult(result)) peer.sendMainChannelMessage(*message);
}

}  // namespace

void TunnexPeer::sendLocalUDPForwardResult(bool success, const TunnexForwardRequest& forward) {
    sendResult(*this, {uint8_t(TunnexForwardKind::LocalDatagram), forward.host, forward.port, forward.chanHash, success});
}

void TunnexPeer::sendRemoteUDPForwardResult(bool success, const TunnexRemoteUDPForwardRequest& forward) {
    sendResult(*this, {uint8_t(TunnexForwardKind::RemoteDatagram), std::string(), 0, forward.chanHash, success});
}

void TunnexPeer::reportPortForwardResult(const ForwardSuccessResult& result) {
    std::weak_ptr<TunnexPeer> weak = weak_from_this();
    globalQueue().async([weak, result] {
        auto self = weak.lock();
        if (!self) return;
        if (auto target = self->delegate()) target->tunnexPeerPortForwardResult(self, result, self->stunPeer());
    });
}

}  // namespace kl

// TunnexPeer's datagram forwards and the results of every kind of forward. A datagram forward is a
// UDP socket that listens on one side, whose datagrams the dispatcher relays over the main channel
// (TunnexPeerDispatch.cpp), and a UDP socket on the other side that sends each delivered datagram
// on to the forward's host and port. Both sockets sit in datagramSockets_ under the key of the
// forward's hash; the sending side's destination port sits in localForwards_ under the same key.
// Datagrams travel from the listening side to the sending side only.
//
// When the tunnel encrypts, one outbound and one inbound stream run over all forwarded datagrams
// of the tunnel in order: the receiver decrypts every datagram, including one it then drops, so
// the streams stay in step.
#include <cryptopp/secblock.h>
#include <netdb.h>

#include <chrono>
#include <thread>

#include "foundation/KLDevice.h"
#include "foundation/KLNetSocketAddress.h"
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

// The most one UDP datagram of each family can carry.
constexpr size_t kMaxIPv4DatagramPayload = 65507;
constexpr size_t kMaxIPv6DatagramPayload = 65527;
// How long a new listening socket may take to report its bind.
constexpr auto kBindWaitLimit = std::chrono::seconds(5);
constexpr auto kBindWaitStep = std::chrono::milliseconds(2);

// The numeric text of an address, without its port.
std::string hostText(const sockaddr_storage& address) {
    char text[NI_MAXHOST] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), socketAddressLength(address), text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) != 0) {
        return "(none)";
    }
    return text;
}

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
    if (loopbackOnly) {
        std::lock_guard lock(lock_);
        loopbackOnlyDatagramForwards_.insert(hash);
    }
    if (!addRemoteUDPForward({localPort, hash}, remotePeer)) return 0;
    if (!sendMainChannelMessage(*message)) {
        // Without the remote's half nothing would ever leave the listener.
        KLLog(kKLTLoggingLevelError, "Datagram forward on port %d not requested: the main channel is not open",
              int(localPort));
        removeDatagramForward(StringForChannelHash(hash));
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
        removeDatagramForward(StringForChannelHash(hash));
        return 0;
    }
    return listeningPort;
}

// --- the two halves ---

bool TunnexPeer::addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& forward,
                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    (void)remotePeer;
    auto socket = startDatagramListener(forward);
    if (!socket) return false;
    // The loop binds on its own thread and ends at once when the port is taken.
    const auto deadline = std::chrono::steady_clock::now() + kBindWaitLimit;
    while (bindPending(**socket, deadline)) std::this_thread::sleep_for(kBindWaitStep);
    return datagramListenerBound(forward, **socket).ok();
}

TunnexResult<std::shared_ptr<KLNetSocket>> TunnexPeer::startDatagramListener(
    const TunnexRemoteUDPForwardRequest& forward) {
    auto socket = KLNetSocket::initWithFamily(AF_INET6);
    socket->setTag(forward.chanHash);
    TunnexResult<void> entered = enterDatagramForward(StringForChannelHash(forward.chanHash), socket, std::nullopt);
    if (!entered) return entered.error();
    socket->startListeningForDatagramsOnPort(weak_from_this(), forward.port);
    return socket;
}

bool TunnexPeer::bindPending(const KLNetSocket& socket, std::chrono::steady_clock::time_point deadline) {
    return socket.isListening() && socket.localPort() == 0 && std::chrono::steady_clock::now() < deadline;
}

TunnexResult<void> TunnexPeer::datagramListenerBound(const TunnexRemoteUDPForwardRequest& forward,
                                                     const KLNetSocket& socket) {
    const std::string key = StringForChannelHash(forward.chanHash);
    if (socket.localPort() == 0) {
        KLLog(kKLTLoggingLevelError, "Cannot listen for datagrams of forward %s on port %d", key.c_str(),
              int(forward.port));
        removeDatagramForward(key);
        return TunnexError(TunnexErrorCode::InUse, "Cannot listen for datagrams on port " + std::to_string(forward.port));
    }
    KLLog(kKLTLoggingLevelDebug, "Listening for datagrams of forward %s on port %d with socket: %d", key.c_str(),
          int(forward.port), socket.sock());
    return {};
}

bool TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& forward,
                                    const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    (void)remotePeer;
    std::optional<sockaddr_storage> address = datagramForwardAddress(forward);
    return address && addLocalUDPForward(forward, *address).ok();
}

std::optional<sockaddr_storage> TunnexPeer::datagramForwardAddress(const TunnexForwardRequest& forward) {
    sockaddr_storage address{};
    // Either family: a host known by an IPv4 address only must be reachable too.
    if (!tunnexForwardHostFits(forward.host) || !KLNetSocket::getAddressForHost(forward.host, AF_UNSPEC, SOCK_DGRAM, address)) {
        KLLog(kKLTLoggingLevelError, "Failed to create local UDP forward");
        return std::nullopt;
    }
    return address;
}

TunnexResult<void> TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& forward, const sockaddr_storage& address) {
    KLLog(kKLTLoggingLevelDebug, "Address for local UDP forward:%s : %hu", hostText(address).c_str(), forward.port);
    auto socket = KLNetSocket::initUDPClientWithFamily(address.ss_family);
    if (!socket) {
        KLLog(kKLTLoggingLevelError, "Failed to create local UDP forward: no socket");
        return TunnexError(TunnexErrorCode::System, "Failed to create local UDP forward: no socket");
    }
    socket->setKnownClientAddr(address);
    socket->setHasClientAddr(true);
    socket->setTag(forward.chanHash);
    TunnexResult<void> entered = enterDatagramForward(StringForChannelHash(forward.chanHash), socket, forward.port);
    if (!entered) {
        socket->close();
        return entered;
    }
    KLLog(kKLTLoggingLevelDebug, "Set up local forward for port: %hu", forward.port);
    return {};
}

TunnexResult<void> TunnexPeer::enterDatagramForward(const std::string& key, const std::shared_ptr<KLNetSocket>& socket,
                                                    std::optional<uint16_t> destinationPort) {
    std::lock_guard lock(lock_);
    // The teardown sets its flag before it empties the table, so nothing entered here outlives it.
    if (tornDown_.load()) {
        KLLog(kKLTLoggingLevelError, "Datagram forward %s refused: the tunnel is closing", key.c_str());
        return TunnexError(TunnexErrorCode::NotConnected, "the tunnel is closing");
    }
    // Two forwards of this tunnel whose hashes meet would take each other's datagrams.
    if (datagramSockets_.count(key)) {
        KLLog(kKLTLoggingLevelError, "Datagram forward %s refused: a forward with that hash exists", key.c_str());
        return TunnexError(TunnexErrorCode::InUse, "a forward with that hash exists");
    }
    datagramSockets_[key] = socket;
    if (destinationPort) localForwards_[key] = *destinationPort;
    return {};
}

void TunnexPeer::removeDatagramForward(const std::string& key) {
    std::shared_ptr<KLNetSocket> socket;
    {
        std::lock_guard lock(lock_);
        if (auto found = datagramSockets_.find(key); found != datagramSockets_.end()) {
            socket = std::move(found->second);
            datagramSockets_.erase(found);
        }
        localForwards_.erase(key);
        loopbackOnlyDatagramForwards_.erase(uint32_t(std::stoul(key, nullptr, 16)));
    }
    if (socket) socket->close();
}

void TunnexPeer::closeDatagramForwards() {
    std::map<std::string, std::shared_ptr<KLNetSocket>> sockets;
    {
        std::lock_guard lock(lock_);
        sockets.swap(datagramSockets_);
        localForwards_.clear();
        loopbackOnlyDatagramForwards_.clear();
    }
    for (const auto& [key, socket] : sockets) {
        KLLog(kKLTLoggingLevelVerbose, "Will close socket %p - of os socket %d", static_cast<void*>(socket.get()),
              socket->sock());
        socket->close();
    }
    // Dropping the sockets here joins their loops (a loop that holds its socket at this moment
    // drops it on its own thread and ends without touching it again).
}

size_t TunnexPeer::datagramForwardCount() const {
    std::lock_guard lock(lock_);
    return datagramSockets_.size();
}

// --- the main channel's messages ---

// The host may need a slow lookup: it runs on the resolver's thread, neither on the poll thread
// (which reads every tunnel's main channel) nor on the pool. Datagrams of the forward that arrive
// before it is entered are dropped, as on any network path that is still being set up; the
// requester learns from the result when it is.
void TunnexPeer::addLocalUDPForward(const TunnexForwardRequest& request) {
    std::weak_ptr<TunnexPeer> weak = weak_from_this();
    NameResolver::shared().post([weak, request] {
        std::optional<sockaddr_storage> address = datagramForwardAddress(request);
        globalQueue().async([weak, request, address] {
            auto self = weak.lock();
            if (!self) return;
            self->sendLocalUDPForwardResult(address && self->addLocalUDPForward(request, *address).ok(), request);
        });
    });
}

// The bind is looked at on a timer, so no thread waits for the listener's loop meanwhile.
void TunnexPeer::addRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request) {
    auto socket = startDatagramListener(request);
    if (!socket) {
        sendRemoteUDPForwardResult(false, request);
        return;
    }
    awaitDatagramBind(weak_from_this(), request, *socket, std::chrono::steady_clock::now() + kBindWaitLimit);
}

void TunnexPeer::awaitDatagramBind(const std::weak_ptr<TunnexPeer>& weak, const TunnexRemoteUDPForwardRequest& request,
                                   const std::shared_ptr<KLNetSocket>& socket,
                                   std::chrono::steady_clock::time_point deadline) {
    if (bindPending(*socket, deadline)) {
        globalQueue().after(kBindWaitStep, [weak, request, socket, deadline] {
            awaitDatagramBind(weak, request, socket, deadline);
        });
        return;
    }
    if (auto self = weak.lock()) self->sendRemoteUDPForwardResult(self->datagramListenerBound(request, *socket).ok(), request);
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
    const std::string key = StringForChannelHash(datagram.chanHash);
    std::shared_ptr<KLNetSocket> socket;
    uint16_t port = 0;
    {
        std::lock_guard lock(lock_);
        auto found = datagramSockets_.find(key);
        auto destination = localForwards_.find(key);
        if (found != datagramSockets_.end() && destination != localForwards_.end()) {
            socket = found->second;
            port = destination->second;
        }
    }
    if (!socket) {
        KLLog(kKLTLoggingLevelVerbose, "Datagram of %zu bytes for channel %s dropped: no such datagram forward",
              payload.size(), key.c_str());
        return;
    }
    const size_t limit = socket->family() == AF_INET6 ? kMaxIPv6DatagramPayload : kMaxIPv4DatagramPayload;
    if (payload.size() > limit) {
        KLLog(kKLTLoggingLevelError, "Datagram of %zu bytes for channel %s dropped: larger than one UDP datagram",
              payload.size(), key.c_str());
        return;
    }
    socket->sendDatagram(payload.data(), uint32_t(payload.size()), socket.get(), port);
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

// TunnexPeer's class side: the start-up of the tunnel library, the registered peer and its ping
// socket, recycling, the server host and id, and the nonces.
#include <netdb.h>
#include <thread>

#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerClassState.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/channel/UdtStartup.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

void startTunnelLibrary() {
    // The nonce counters start with the state itself (requests from 1, replies from 0).
    seedChannelHashSource();
    KLLog(kKLTLoggingLevelDebug, "TunnexPeer - starting UDT");
    if (!udtStartup()) KLLog(kKLTLoggingLevelError, "TunnexPeer - UDT start-up failed");
    KLLog(kKLTLoggingLevelDebug, "TunnexPeer - starting socket core");
    osxsel_init();
    sk_init();
    // A punch attempt holds two descriptors per round until it ends.
    TunnexHolePunch::raiseDescriptorLimit();
    if (!tunnexPeerConnectionLayer()) setTunnexPeerConnectionLayer(TunnexHolePunch::create());
}

// Drops references outside the ping-socket lock: a peer or socket destroyed here may join a datagram
// thread that is waiting for that very lock.
struct Released {
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<KLNetSocket> socket;
};

}  // namespace

TunnexPeerClassState& tunnexPeerClassState() {
    static TunnexPeerClassState* state = [] {
        auto* created = new TunnexPeerClassState();
        startTunnelLibrary();
        return created;
    }();
    return *state;
}

void TunnexPeer::initialize() { tunnexPeerClassState(); }

TunnexPeer::Timing TunnexPeer::timing() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    return state.timing;
}

void TunnexPeer::setTiming(const Timing& timing) {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    state.timing = timing;
}

std::mutex& TunnexPeer::pingSocketLock() { return tunnexPeerClassState().pingSocketLock; }

std::shared_ptr<TunnexPeer> TunnexPeer::registeredTunnexPeer() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.pingSocketLock);
    return state.registeredPeer;
}

void TunnexPeer::setRegisteredTunnexPeer(std::shared_ptr<TunnexPeer> peer) {
    auto& state = tunnexPeerClassState();
    if (!peer) closePingSocket();
    Released released;
    std::lock_guard lock(state.pingSocketLock);
    released.peer = std::exchange(state.registeredPeer, std::move(peer));
}

std::shared_ptr<KLNetSocket> TunnexPeer::activePingSocket() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.pingSocketLock);
    return state.pingSocket;
}

void TunnexPeer::closePingSocket() {
    auto& state = tunnexPeerClassState();
    std::shared_ptr<TunnexPeer> registered;
    std::shared_ptr<KLNetSocket> socket;
    {
        std::lock_guard lock(state.pingSocketLock);
        registered = state.registeredPeer;
        socket = std::move(state.pingSocket);
    }
    if (registered) registered->cancelPendingRequests();
    // Closed and waited for outside the lock: the socket's datagram callback may be waiting for it.
    if (!socket) return;
    socket->close();
    for (int step = 0; step < 100 && socket->isListening(); ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

namespace {

// A socket whose known peer is the server; not listening yet. Empty when the host does not resolve.
std::shared_ptr<KLNetSocket> unstartedServerSocket() {
    KLLog(kKLTLoggingLevelInfo, "Registering new connection to Tunnex");
    auto socket = KLNetSocket::initWithFamily(AF_INET);
    const std::string host = TunnexPeer::globalServerHost();
    sockaddr_storage server{};
    if (!KLNetSocket::getAddressForHost(host, AF_INET, SOCK_DGRAM, server)) {
        KLLog(kKLTLoggingLevelError, "Unable to resolve server address: %s", host.c_str());
        return nullptr;
    }
    socket->setKnownClientAddr(server);
    socket->setHasClientAddr(true);
    return socket;
}

}  // namespace

std::shared_ptr<KLNetSocket> TunnexPeer::newSocketRegisteredWithServer() {
    auto socket = unstartedServerSocket();
    if (socket) socket->startListeningForDatagramsOnPort(registeredTunnexPeer(), 0);
    return socket;
}

std::shared_ptr<KLNetSocket> TunnexPeer::recyclePingSocketWithOldPeer(const std::shared_ptr<TunnexPeer>& oldPeer) {
    return replacePingSocket(oldPeer, registeredTunnexPeer());
}

std::shared_ptr<KLNetSocket> TunnexPeer::replacePingSocket(const std::shared_ptr<TunnexPeer>& oldPeer,
                                                          const std::shared_ptr<TunnexPeer>& owner) {
    auto& state = tunnexPeerClassState();
    std::shared_ptr<KLNetSocket> previous;
    {
        std::lock_guard lock(state.pingSocketLock);
        // The old socket stays with the peer that holds it as its handoff socket.
        previous = std::move(state.pingSocket);
        // A recycle follows a silent server, which may have restarted and begun its nonces anew;
        // the replies on the new socket are judged by a fresh gate.
        state.replyNonces.reset();
    }
    // After the registration has moved on: nothing arms this peer's timers any more.
    if (oldPeer) oldPeer->cancelPendingRequests();
    if (previous) previous->setTag(0);
    auto socket = unstartedServerSocket();
    if (!socket) return nullptr;
    bool installed = false;
    {
        std::lock_guard lock(state.pingSocketLock);
        // A registration that moved on meanwhile keeps its own socket; this one serves its owner
        // only as the handoff socket.
        installed = state.registeredPeer == owner;
        if (installed) state.pingSocket = socket;
    }
    socket->setTag(installed ? kPingSocketTag : 0);
    // Started once installed, so the loop's first call finds it the active ping socket and pings.
    socket->startListeningForDatagramsOnPort(owner, 0);
    return socket;
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycleTunnexPeer(const std::shared_ptr<TunnexPeer>& oldPeer) {
    return recycle(oldPeer, false);
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycleRegisteredTunnexPeer(const std::shared_ptr<TunnexPeer>& peer) {
    if (registeredTunnexPeer() != peer) return nullptr;
    return recycle(peer, true);
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycle(const std::shared_ptr<TunnexPeer>& oldPeer, bool onlyIfRegistered) {
    auto& state = tunnexPeerClassState();
    auto peer = initUsingEncryption(true, globalAssignedId());
    if (oldPeer) {
        peer->setInviteDelegate(oldPeer->inviteDelegate_);
        peer->setPrivateKey(oldPeer->privateKey());
        {
            std::lock_guard fields(oldPeer->fieldsMutex_);
            peer->forwardManager_ = oldPeer->forwardManager_;
        }
        // The machine's public address outlives the socket: an invitation that reaches the new
        // registration before its first pong (lost, or not back yet) is answered, not refused.
        const sockaddr_storage external = oldPeer->extAddress();
        std::lock_guard fields(peer->fieldsMutex_);
        peer->extAddress_ = external;
    }
    peer->setServerHost(globalServerHost());
    Released released;
    {
        std::lock_guard lock(state.pingSocketLock);
        // Checked and replaced in one step, so two recycles of one peer make one successor.
        if (onlyIfRegistered && state.registeredPeer != oldPeer) return nullptr;
        released.peer = std::exchange(state.registeredPeer, peer);
    }
    peer->setHandoffSocket(replacePingSocket(oldPeer, peer));
    return peer;
}

void TunnexPeer::setGlobalServerHost(const std::string& host) {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    if (host != state.serverHost) state.replyNonces.reset();
    state.serverHost = host;
}

std::string TunnexPeer::globalServerHost() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    return state.serverHost;
}

void TunnexPeer::setGlobalServerPort(uint16_t port) {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    state.serverPort = port;
}

uint16_t TunnexPeer::globalServerPort() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    return state.serverPort;
}

void TunnexPeer::setGlobalAssignedId(uint64_t id) {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    state.assignedId = id;
}

uint64_t TunnexPeer::globalAssignedId() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.globalsMutex);
    return state.assignedId;
}

uint64_t TunnexPeer::nextNonce() { return tunnexPeerClassState().requestNonces.next(); }

void TunnexPeer::resetServerNonce() { tunnexPeerClassState().replyNonces.reset(); }

uint64_t TunnexPeer::highestServerNonce() { return tunnexPeerClassState().replyNonces.highest(); }

// --- registration of one peer ---

bool TunnexPeer::registerWithServerAtAddress(const std::string& host, double timeout, uint64_t assignedId) {
    KLLog(kKLTLoggingLevelDebug, "registerWithServerAtAddress %s using id %llu", host.c_str(),
          (unsigned long long)assignedId);
    setAssignedId(assignedId);
    resetServerNonce();
    setGlobalAssignedId(assignedId);
    contactedServer_ = false;
    setServerHost(host);
    setGlobalServerHost(host);
    auto& state = tunnexPeerClassState();
    {
        Released released;
        std::lock_guard lock(state.pingSocketLock);
        released.peer = std::exchange(state.registeredPeer, shared_from_this());
    }
    resetPingSocket();
    return handoffSocket() != nullptr;
}

void TunnexPeer::resetPingSocket() {
    auto self = shared_from_this();
    setHandoffSocket(replacePingSocket(self, self));
}

bool TunnexPeer::cancelRegistrationWithServer(bool) {
    auto& state = tunnexPeerClassState();
    bool registered;
    {
        std::lock_guard lock(state.pingSocketLock);
        registered = state.registeredPeer.get() == this;
    }
    if (registered) setRegisteredTunnexPeer(nullptr);
    contactedServer_ = false;
    return true;
}

// --- followed invitations ---

void TunnexPeer::forgetInvitations(double cutoff, const std::vector<int64_t>& transactionIds) {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.invitedMutex);
    for (int64_t id : transactionIds) state.invitedTransactions.erase(id);
    std::erase_if(state.invitedTransactions, [cutoff](const auto& entry) { return entry.second < cutoff; });
}

size_t TunnexPeer::followedInvitationCount() {
    auto& state = tunnexPeerClassState();
    std::lock_guard lock(state.invitedMutex);
    return state.invitedTransactions.size();
}

}  // namespace kl

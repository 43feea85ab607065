// TunnexPeer's class side: the registered peer and its ping socket, recycling, the server host and
// id, and the nonces. Each step works on one context; the class API on the process's default.
#include <netdb.h>

#include "foundation/KLTLogging.h"
#include "tunnel/channel/UdtStartup.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

// Process-wide, whatever the number of contexts: UDT, the socket core and the descriptor limit.
void startTunnelLibrary() {
    seedChannelHashSource();
    KLLog(kKLTLoggingLevelDebug, "TunnexPeer - starting UDT");
    if (!udtStartup()) KLLog(kKLTLoggingLevelError, "TunnexPeer - UDT start-up failed");
    KLLog(kKLTLoggingLevelDebug, "TunnexPeer - starting socket core");
    osxsel_init();
    sk_init();
    // A punch attempt holds two descriptors per round until it ends.
    TunnexHolePunch::raiseDescriptorLimit();
}

// Drops references outside the ping-socket lock: a peer or socket destroyed here may join a datagram
// thread that is waiting for that very lock.
struct Released {
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<KLNetSocket> socket;
};

TunnexContext& defaultContext() { return *TunnexContext::processDefault(); }

// How often, and how many times, a closed ping socket is looked at until its loop has stopped.
constexpr auto kPingSocketQuietStep = std::chrono::milliseconds(100);
constexpr int kPingSocketQuietChecks = 100;

// A socket whose known peer is the context's server; not listening yet. Empty when the host does
// not resolve.
std::shared_ptr<KLNetSocket> unstartedServerSocket(TunnexContext& context) {
    KLLog(kKLTLoggingLevelInfo, "Registering new connection to Tunnex");
    auto socket = KLNetSocket::initWithFamily(AF_INET);
    const std::string host = context.serverHost();
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

void TunnexPeer::initialize() {
    static const bool started = [] {
        startTunnelLibrary();
        return true;
    }();
    (void)started;
    TunnexContext::processDefault();
}

TunnexContext& TunnexPeer::contextOf(const std::shared_ptr<TunnexPeer>& peer) {
    return peer ? peer->context() : defaultContext();
}

TunnexPeer::Timing TunnexPeer::timing() { return defaultContext().timing(); }

void TunnexPeer::setTiming(const Timing& timing) { defaultContext().setTiming(timing); }

std::mutex& TunnexPeer::pingSocketLock() { return defaultContext().pingSocketLock_; }

std::shared_ptr<TunnexPeer> TunnexPeer::registeredTunnexPeer() { return defaultContext().registeredPeer(); }

std::shared_ptr<TunnexPeer> TunnexPeer::registeredTunnexPeerOf(const std::shared_ptr<TunnexPeer>& peer) {
    return contextOf(peer).registeredPeer();
}

void TunnexPeer::setRegisteredTunnexPeer(std::shared_ptr<TunnexPeer> peer) {
    // A peer registers in its own context.
    TunnexContext& context = contextOf(peer);
    setRegisteredPeer(context, std::move(peer));
}

void TunnexPeer::setRegisteredPeer(TunnexContext& context, std::shared_ptr<TunnexPeer> peer) {
    if (!peer) closePingSocket(context);
    Released released;
    std::lock_guard lock(context.pingSocketLock_);
    released.peer = std::exchange(context.registeredPeer_, std::move(peer));
}

std::shared_ptr<KLNetSocket> TunnexPeer::activePingSocket() { return defaultContext().pingSocket(); }

void TunnexPeer::closePingSocket() { closePingSocket(defaultContext()); }

void TunnexPeer::closePingSocket(TunnexContext& context) {
    std::shared_ptr<TunnexPeer> registered;
    std::shared_ptr<KLNetSocket> socket;
    {
        std::lock_guard lock(context.pingSocketLock_);
        registered = context.registeredPeer_;
        socket = std::move(context.pingSocket_);
    }
    if (registered) registered->cancelPendingRequests();
    // Closed outside the lock: the socket's datagram callback may be waiting for it.
    if (!socket) return;
    socket->close();
    releaseWhenQuiet(std::move(socket), 0);
}

// The closed socket's loop ends on its own thread; the last reference (whose release joins that
// thread) is kept until the loop has stopped listening, looked at on a timer so that no thread
// waits for it.
void TunnexPeer::releaseWhenQuiet(std::shared_ptr<KLNetSocket> socket, int check) {
    if (check >= kPingSocketQuietChecks || !socket->isListening()) return;
    globalQueue().after(kPingSocketQuietStep, [socket = std::move(socket), check]() mutable {
        releaseWhenQuiet(std::move(socket), check + 1);
    });
}

std::shared_ptr<KLNetSocket> TunnexPeer::newSocketRegisteredWithServer() {
    auto socket = unstartedServerSocket(defaultContext());
    if (socket) socket->startListeningForDatagramsOnPort(registeredTunnexPeer(), 0);
    return socket;
}

std::shared_ptr<KLNetSocket> TunnexPeer::recyclePingSocketWithOldPeer(const std::shared_ptr<TunnexPeer>& oldPeer) {
    TunnexContext& context = contextOf(oldPeer);
    return replacePingSocket(context, oldPeer, context.registeredPeer());
}

std::shared_ptr<KLNetSocket> TunnexPeer::replacePingSocket(TunnexContext& context,
                                                          const std::shared_ptr<TunnexPeer>& oldPeer,
                                                          const std::shared_ptr<TunnexPeer>& owner) {
    std::shared_ptr<KLNetSocket> previous;
    {
        std::lock_guard lock(context.pingSocketLock_);
        // The old socket stays with the peer that holds it as its handoff socket.
        previous = std::move(context.pingSocket_);
        // A recycle follows a silent server, which may have restarted and begun its nonces anew;
        // the replies on the new socket are judged by a fresh gate.
        context.replyNonces().reset();
    }
    // After the registration has moved on: nothing arms this peer's timers any more.
    if (oldPeer) oldPeer->cancelPendingRequests();
    if (previous) previous->setTag(0);
    auto socket = unstartedServerSocket(context);
    if (!socket) return nullptr;
    bool installed = false;
    {
        std::lock_guard lock(context.pingSocketLock_);
        // A registration that moved on meanwhile keeps its own socket; this one serves its owner
        // only as the handoff socket.
        installed = context.registeredPeer_ == owner;
        if (installed) context.pingSocket_ = socket;
    }
    socket->setTag(installed ? kPingSocketTag : 0);
    // Started once installed, so the loop's first call finds it the active ping socket and pings.
    socket->startListeningForDatagramsOnPort(owner, 0);
    return socket;
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycleTunnexPeer(const std::shared_ptr<TunnexPeer>& oldPeer) {
    return recycle(contextOf(oldPeer), oldPeer, false);
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycleRegisteredTunnexPeer(const std::shared_ptr<TunnexPeer>& peer) {
    TunnexContext& context = contextOf(peer);
    if (context.registeredPeer() != peer) return nullptr;
    return recycle(context, peer, true);
}

std::shared_ptr<TunnexPeer> TunnexPeer::recycle(TunnexContext& context, const std::shared_ptr<TunnexPeer>& oldPeer,
                                                bool onlyIfRegistered) {
    auto peer = initUsingEncryption(true, context.assignedId(), tunnexSystemClock(),
                                    oldPeer ? oldPeer->context_ : TunnexContext::processDefault());
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
    peer->setServerHost(context.serverHost());
    Released released;
    {
        std::lock_guard lock(context.pingSocketLock_);
        // Checked and replaced in one step, so two recycles of one peer make one successor.
        if (onlyIfRegistered && context.registeredPeer_ != oldPeer) return nullptr;
        released.peer = std::exchange(context.registeredPeer_, peer);
    }
    peer->setHandoffSocket(replacePingSocket(context, oldPeer, peer));
    return peer;
}

void TunnexPeer::setGlobalServerHost(const std::string& host) { defaultContext().setServerHost(host); }

std::string TunnexPeer::globalServerHost() { return defaultContext().serverHost(); }

void TunnexPeer::setGlobalServerPort(uint16_t port) { defaultContext().setServerPort(port); }

uint16_t TunnexPeer::globalServerPort() { return defaultContext().serverPort(); }

void TunnexPeer::setGlobalAssignedId(uint64_t id) { defaultContext().setAssignedId(id); }

uint64_t TunnexPeer::globalAssignedId() { return defaultContext().assignedId(); }

uint64_t TunnexPeer::nextNonce() { return defaultContext().requestNonces().next(); }

void TunnexPeer::resetServerNonce() { defaultContext().replyNonces().reset(); }

uint64_t TunnexPeer::highestServerNonce() { return defaultContext().replyNonces().highest(); }

// --- registration of one peer ---

bool TunnexPeer::registerWithServerAtAddress(const std::string& host, double timeout, uint64_t assignedId) {
    KLLog(kKLTLoggingLevelDebug, "registerWithServerAtAddress %s using id %llu", host.c_str(),
          (unsigned long long)assignedId);
    setAssignedId(assignedId);
    context_->replyNonces().reset();
    context_->setAssignedId(assignedId);
    contactedServer_ = false;
    setServerHost(host);
    context_->setServerHost(host);
    {
        Released released;
        std::lock_guard lock(context_->pingSocketLock_);
        released.peer = std::exchange(context_->registeredPeer_, shared_from_this());
    }
    resetPingSocket();
    return handoffSocket() != nullptr;
}

void TunnexPeer::resetPingSocket() {
    auto self = shared_from_this();
    setHandoffSocket(replacePingSocket(*context_, self, self));
}

bool TunnexPeer::cancelRegistrationWithServer(bool) {
    if (context_->registeredPeer().get() == this) setRegisteredPeer(*context_, nullptr);
    contactedServer_ = false;
    return true;
}

// --- followed invitations ---

void TunnexPeer::forgetInvitations(double cutoff, const std::vector<int64_t>& transactionIds) {
    defaultContext().forgetInvitations(cutoff, transactionIds);
}

size_t TunnexPeer::followedInvitationCount() { return defaultContext().followedInvitationCount(); }

}  // namespace kl

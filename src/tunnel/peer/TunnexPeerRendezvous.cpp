// TunnexPeer's side of the rendezvous exchange: pings, the ping cycle and its time-out, the reply
// handlers and the repeated send of a connect request. All of it runs on the peer's queue: the
// replies arrive there from the dispatcher, and the pings, time-outs and repeats are timers on it.
#include <arpa/inet.h>

#include <cstring>

#include "foundation/KLTLogging.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

// --- scheduling (timers on the peer's queue; handles kept so that they can be cancelled together) ---

void TunnexPeer::cancelPendingRequests() { pingTimers_.cancelAll(); }

void TunnexPeer::schedulePing(Duration delay) {
    pingTimers_.addPing(postToQueueAfter(delay, [](const std::shared_ptr<TunnexPeer>& peer) { peer->serverPing(); }));
}

void TunnexPeer::scheduleTimeOut(Duration delay) {
    pingTimers_.addTimeOut(
        postToQueueAfter(delay, [](const std::shared_ptr<TunnexPeer>& peer) { peer->pingTimeOut(); }));
}

void TunnexPeer::setupTimeOut() { setupTimeOut(*TunnexContext::processDefault()); }

void TunnexPeer::setupTimeOut(TunnexContext& context) {
    const auto timeout = context.timing().pingTimeout;
    // Armed under the lock on the peer registered now: a recycle replaces the registration under
    // it and then cancels the old peer's timers, so no time-out outlives its registration.
    std::lock_guard lock(context.pingSocketLock_);
    if (context.registeredPeer_) context.registeredPeer_->scheduleTimeOut(timeout);
}

// --- requests ---

std::optional<Bytes> TunnexPeer::sealServerRequest(const Bytes& plaintext) {
    const Bytes key = privateKey();
    TunnexResult<Bytes> sealed = tunnexSealRequest(assignedId(), context_->requestNonces().next(), key, plaintext);
    if (!sealed) {
        KLLog(kKLTLoggingLevelError, "Crypto++ exception %s", sealed.error().description().c_str());
        return std::nullopt;
    }
    return std::move(sealed).value();
}

void TunnexPeer::serverPing() {
    assertOnQueue("serverPing");
    KLLog(kKLTLoggingLevelVerbose, "Active Tunnex server is %p (AssignedID = %lld)", static_cast<void*>(this),
          (long long)assignedId());
    if (logLevelEnabled(kKLTLoggingLevelVerbose)) {
        if (auto manager = context_->manager()) {
            int index = 0;
            for (const auto& peer : manager->activePeers()) {
                auto remote = peer ? peer->stunPeer() : nullptr;
                KLLog(kKLTLoggingLevelVerbose, "Peer %d (%p) for remote: (%s)", index++, static_cast<void*>(peer.get()),
                      TunnexDisplayableUUID(remote ? remote->UUID() : std::string()).c_str());
            }
        }
    }
    auto socket = context_->pingSocket();
    if (socket) {
        sockaddr_storage server = socket->knownClientAddr();
        KLLog(kKLTLoggingLevelVerbose, "Active ping socket: %p : %d", static_cast<void*>(socket.get()), socket->sock());
        KLLog(kKLTLoggingLevelDebug, "Server ping to %s",
              AddressString(reinterpret_cast<const sockaddr_in*>(&server)).value_or("(none)").c_str());
    }
    std::vector<TunnexAddressEntry> entries;
    const uint16_t localPort = socket ? socket->localPort() : 0;
    for (const TunnexAddress& address : newArrayOfInterfaceAddressesOfFamily(AF_INET)) {
        entries.push_back({reinterpret_cast<const sockaddr_in*>(&address.address())->sin_addr.s_addr, localPort});
    }
    auto datagram = sealServerRequest(tunnexPingPlaintext(pingCounter(), entries));
    if (!datagram) return;  // no ping left, so no time-out either
    if (socket) {
        socket->sendDatagram(datagram->data(), uint32_t(datagram->size()), socket.get(), context_->serverPort());
    } else {
        KLLog(kKLTLoggingLevelDebug, "Server ping not sent: no ping socket");
    }
    pingCounter_++;
    setupTimeOut(*context_);
}

void TunnexPeer::sendInvitationRequest(const Bytes& data, const std::shared_ptr<KLNetSocket>& socket, uint16_t port) {
    auto datagram = std::make_shared<const Bytes>(data);
    postToQueue([datagram, socket, port](const std::shared_ptr<TunnexPeer>& peer) {
        peer->repeatInvitationRequest(datagram, socket, port, 0);
    });
}

void TunnexPeer::repeatInvitationRequest(const std::shared_ptr<const Bytes>& datagram,
                                         const std::shared_ptr<KLNetSocket>& socket, uint16_t port, int sent) {
    assertOnQueue("repeatInvitationRequest");
    if (!socket || !socket->sendDatagram(datagram->data(), uint32_t(datagram->size()), socket.get(), port)) return;
    if (++sent >= kInvitationRequestRepeats) return;
    postToQueueAfter(context_->timing().invitationRepeatPause,
                     [datagram, socket, port, sent](const std::shared_ptr<TunnexPeer>& peer) {
                         peer->repeatInvitationRequest(datagram, socket, port, sent);
                     });
}

// --- replies ---

void TunnexPeer::receivedPong(const Bytes& plaintext) {
    assertOnQueue("receivedPong");
    const TunnexServerPong pong = tunnexReadPong(plaintext);
    KLLog(kKLTLoggingLevelDebug, "Received pong");
    {
        if (pong.hasAddress) {
            sockaddr_storage external = tunnexSocketAddress(pong.external);
            std::lock_guard fields(fieldsMutex_);
            const auto* known = reinterpret_cast<const sockaddr_in*>(&extAddress_);
            const auto* now = reinterpret_cast<const sockaddr_in*>(&external);
            if (extAddress_.ss_family != AF_INET || known->sin_addr.s_addr != now->sin_addr.s_addr ||
                known->sin_port != now->sin_port) {
                KLLog(kKLTLoggingLevelInfo, "External address: %s port: %d",
                      tunnexAddressText(pong.external.address).c_str(), int(pong.external.port));
            }
            extAddress_ = external;
        }
        const auto interval = context_->timing().pingInterval;
        std::lock_guard lock(context_->pingSocketLock_);
        if (auto& registered = context_->registeredPeer_) {
            registered->cancelPendingRequests();
            registered->schedulePing(interval);
        }
        pongCounter_++;
    }
    // The manager starts its queued connections from the main loop, as it always has.
    mainLoop().post([context = context_] {
        if (auto manager = context->manager()) manager->fulfillNextQueuedConnection();
    });
}

void TunnexPeer::pingTimeOut() {
    assertOnQueue("pingTimeOut");
    KLLog(kKLTLoggingLevelError, "Tunnex server ping timeout");
    // The new socket's loop sends the first ping once its descriptor is bound: a ping sent from
    // here would leave before there is a descriptor to send it from. A registration that moved on
    // meanwhile was recycled already.
    recycle(*context_, context_->registeredPeer(), true);
    if (context_->timeoutReportDue()) {
        if (auto target = inviteDelegate()) {
            std::weak_ptr<TunnexPeerInviteDelegate> weak = target;
            mainLoop().post([weak] {
                if (auto delegate = weak.lock()) delegate->pingDidTimeOut();
            });
        }
        setupTimeOut(*context_);
    }
}

void TunnexPeer::receivedInvitation(const Bytes& plaintext) {
    assertOnQueue("receivedInvitation");
    const TunnexServerInvitation invitation = tunnexReadInvitation(plaintext);
    auto self = shared_from_this();
    {
        // The server answers each repeat of a connect request; one attempt per transaction.
        if (!context_->followInvitation(invitation.transactionId, clock_().secondsSince1970)) {
            KLLog(kKLTLoggingLevelDebug, "Invitation for transaction %lld is already handled; ignored",
                  (long long)invitation.transactionId);
            return;
        }
    }
    auto manager = context_->manager();
    if (manager) manager->registerTimeoutForPeer(self);
    KLLog(kKLTLoggingLevelInfo, "Received invitation with transactionId  %lld UUID: (%s)",
          (long long)invitation.transactionId, TunnexDisplayableUUID(invitation.uuid).c_str());
    auto remote = std::make_shared<TunnexRemotePeer>();
    KLLog(kKLTLoggingLevelDebug, "Created remotePeer: %p", static_cast<void*>(remote.get()));
    if (auto target = inviteDelegate()) target->didReceiveInvite();

    if (!invitation.hasIPv4) {
        KLLog(kKLTLoggingLevelInfo, "Invitation does not have IPv4 address");
        failedToConnectWithRemotePeer(remote);
        return;
    }
    remote->setAddress(tunnexSocketAddress(invitation.other));
    remote->setPort(invitation.other.port);
    KLLog(kKLTLoggingLevelInfo, "Invitation for IPv4 address: %s port: %d",
          tunnexAddressText(invitation.other.address).c_str(), int(invitation.other.port));

    if (extAddress().ss_family != AF_INET) {
        KLLog(kKLTLoggingLevelInfo, "External address does not hail from AF_INET. Will not connect");
        KLLog(kKLTLoggingLevelInfo, "Canceling connection");
        if (auto layer = context_->connectionLayer()) layer->cancelConnection(self, peerConnectionHandle());
        failedToConnectWithRemotePeer(remote);
        return;
    }
    if (invitation.hasProxy) {
        KLLog(kKLTLoggingLevelInfo, "invitation has proxy");
        remote->setProxyAddress(tunnexSocketAddress(invitation.proxy));
        remote->setProxyPort(invitation.proxy.port);
        remote->setHasProxyAddress(true);
        KLLog(kKLTLoggingLevelInfo, "Proxy address: %s   proxy port: %d",
              tunnexAddressText(invitation.proxy.address).c_str(), int(invitation.proxy.port));
    }
    for (const TunnexAddressEntry& alternate : invitation.alternates) {
        KLLog(kKLTLoggingLevelInfo, "Adding alternate address: %s", tunnexAddressText(alternate.address).c_str());
        remote->addKnownAddressWithAddress(tunnexSocketAddress(alternate), alternate.port, false);
    }

    auto transaction = manager ? manager->transactionForTransactionId(invitation.transactionId) : nullptr;
    if (!transaction) {
        KLLog(kKLTLoggingLevelDebug, "%s - Could not index transaction", "receivedInvitation:");
        transaction = std::make_shared<TunnexTransaction>();
        transaction->setTransactionId(invitation.transactionId);
        transaction->setIsOriginator(manager && manager->isOriginatorForTransactionId(invitation.transactionId));
        transaction->setRemotePeer(remote);
        if (!transaction->isOriginator()) remote->setUUID(invitation.uuid);
        if (manager) {
            manager->updateRegistrationWithPeer(remote);
            manager->registerTransaction(transaction);
        }
    } else if (transaction->isComplete()) {
        // A late repeat of a request whose attempt already ended (connected or failed).
        KLLog(kKLTLoggingLevelDebug, "Invitation for finished transaction %lld ignored",
              (long long)invitation.transactionId);
        return;
    } else {
        KLLog(kKLTLoggingLevelDebug, "%s - Indexed transaction: %llu", "receivedInvitation:",
              (unsigned long long)invitation.transactionId);
        auto known = transaction->remotePeer();
        if (!known || known->UUID().empty()) {
            KLLog(kKLTLoggingLevelError, "transaction has a nil uuid");
        } else {
            remote->setUUID(known->UUID());
            auto merged = manager->updateRegistrationWithPeer(remote);
            setStunPeer(merged ? merged : remote);
        }
    }
    transaction->addInvitedAddress(tunnexSocketAddress(invitation.other));
    for (const TunnexAddressEntry& alternate : invitation.alternates) {
        transaction->addInvitedAddress(tunnexSocketAddress(alternate));
    }
    auto transactionRemote = transaction->remotePeer();
    KLLog(kKLTLoggingLevelDebug, "%s remote peer: %p for: (%s)", "receivedInvitation:",
          static_cast<void*>(transactionRemote.get()),
          TunnexDisplayableUUID(transactionRemote ? transactionRemote->UUID() : std::string()).c_str());
    auto layer = context_->connectionLayer();
    if (!layer) {
        KLLog(kKLTLoggingLevelInfo, "No hole-punch layer: invitation for transaction %lld not followed",
              (long long)invitation.transactionId);
        return;
    }
    // The attempt runs as steps on this queue, after this handler.
    layer->connectWithTransaction(self, transaction);
}

void TunnexPeer::handleError(const Bytes& plaintext) {
    assertOnQueue("handleError");
    const uint16_t code = tunnexReadErrorCode(plaintext);
    KLLog(kKLTLoggingLevelDebug, "Server error %u", unsigned(code));
    if (code == 1) disconnectedFromRemotePeer(stunPeer());
}

}  // namespace kl

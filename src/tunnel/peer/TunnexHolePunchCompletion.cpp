// The completion of a hole-punched connection: once per peer, on the peer's queue, the punched UDP
// socket goes to UDT, which connects the main channel in rendezvous mode. Nothing here waits: the
// countdown is a timer and the connect is watched by the socket manager's poll loop.
#include <cstring>
#include <udt/udt.h>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/channel/TunnexUDTPacketFilter.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {
void TunnexHolePunch::dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                         const std::shared_ptr<TunnexRemotePeer>& remote) {
    if (!peer || !remote) return;
    peer->assertOnQueue("dispatchCompleteConnectionWithPeer");
    if (!peer->beginConnectionCompletion()) {
        KLLog(kKLTLoggingLevelInfo, "Have already dispatched completeConnectionWithPeer:");
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "Queueing complete connection with peer");
    auto token = std::make_shared<CompletionToken>(pendingCompletions_);
    std::weak_ptr<TunnexHolePunch> weak = weak_from_this();
    peer->postToQueue([weak, remote, token](const std::shared_ptr<TunnexPeer>& peer) {
        if (auto self = weak.lock()) self->completeConnectionWithPeer(peer, remote, token);
    });
}

void TunnexHolePunch::completeConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                 const std::shared_ptr<TunnexRemotePeer>& remote,
                                                 const std::shared_ptr<CompletionToken>& token) {
    peer->assertOnQueue("completeConnectionWithPeer");
    KLLog(kKLTLoggingLevelInfo, "Completing connection for remote peer: (%s)",
          TunnexDisplayableUUID(remote->UUID()).c_str());
    KLLog(kKLTLoggingLevelDebug, "%s remote peer: %p", "completeConnectionWithPeer:", static_cast<void*>(remote.get()));
    peer->setHandoffComplete(true);  // the handoff socket's loop stops after its current pass
    KLLog(kKLTLoggingLevelDebug, "Starting connection countdown...");
    awaitTunnelSocketQuiet(peer, remote, token, 0);
}

void TunnexHolePunch::awaitTunnelSocketQuiet(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexRemotePeer>& remote,
                                             const std::shared_ptr<CompletionToken>& token, int check) {
    // UDT reads the descriptor from now on: the socket's own loop must have let go of it. The
    // checks are timers on the queue, which stays free for the datagrams meanwhile.
    auto tunnelSocket = remote->tunnelSocket();
    if (check < timing_.countdownChecks && tunnelSocket && tunnelSocket->isListening()) {
        std::weak_ptr<TunnexHolePunch> weak = weak_from_this();
        peer->postToQueueAfter(timing_.countdownInterval,
                               [weak, remote, token, check](const std::shared_ptr<TunnexPeer>& peer) {
                                   if (auto self = weak.lock()) self->awaitTunnelSocketQuiet(peer, remote, token, check + 1);
                               });
        return;
    }
    KLLog(kKLTLoggingLevelDebug, "Finished countdown");
    connectMainChannel(peer, remote, token);
}

namespace {

// Whatever the outcome, the handshake of this attempt is over.
void finishAttemptTransaction(TunnexPeer& peer, const std::shared_ptr<TunnexRemotePeer>& remote) {
    auto manager = peer.context().manager();
    if (auto transaction = manager ? manager->transactionForTransactionId(remote->attemptTransactionId()) : nullptr) {
        transaction->finish();
    }
}

}  // namespace

void TunnexHolePunch::connectMainChannel(const std::shared_ptr<TunnexPeer>& peer,
                                         const std::shared_ptr<TunnexRemotePeer>& remote,
                                         const std::shared_ptr<CompletionToken>& token) {
    auto tunnelSocket = remote->tunnelSocket();
    peer->reportConnectStage(2, 0.0f);
    if (!tunnelSocket) {
        finishAttemptTransaction(*peer, remote);
        KLLog(kKLTLoggingLevelError, "Main channel connect failed due to error: %s", "no tunnel socket");
        peer->failedToConnectWithRemotePeer(remote);
        return;
    }
    // Read now: the datagrams that arrived during the countdown may have moved it.
    const sockaddr_storage address = remote->address();
    // The transport connects only toward an address the invitation named, and from now on hears
    // only that endpoint, with its handshake's sizes bounded.
    auto manager = peer->context().manager();
    auto transaction = manager ? manager->transactionForTransactionId(remote->attemptTransactionId()) : nullptr;
    sockaddr_in peerAddress{};
    if (address.ss_family == AF_INET) std::memcpy(&peerAddress, &address, sizeof peerAddress);
    if (!transaction || !transaction->invitationNames(peerAddress) ||
        !tunnexGuardUDTSocket(tunnelSocket->sock(), peerAddress)) {
        finishAttemptTransaction(*peer, remote);
        KLLog(kKLTLoggingLevelError, "Main channel connect failed due to error: %s",
              "the peer's address was not named by the invitation");
        peer->failedToConnectWithRemotePeer(remote);
        return;
    }
    // From here on closing the socket object leaves the descriptor open: UDT owns it once bound.
    tunnelSocket->setSocketCloseOwnership(false);
    KLLog(kKLTLoggingLevelInfo, "Connecting to %s",
          AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("(none)").c_str());
    // Both sides connect toward each other at once (UDT's rendezvous mode). The socket manager's
    // poll loop watches the connect and its outcome comes back to the queue.
    std::weak_ptr<TunnexHolePunch> weak = weak_from_this();
    std::weak_ptr<TunnexPeer> weakPeer = peer;
    openUDTChannelAsync(
        tunnelSocket->sock(), address, TunnexChannelMode::Message,
        [weak, weakPeer, remote, token](TunnexResult<int> udtSocket) {
            auto peer = weakPeer.lock();
            if (!peer) {
                if (udtSocket) UDT::close(*udtSocket);  // nobody is left to take it
                return;
            }
            peer->postToQueue([weak, remote, token, udtSocket](const std::shared_ptr<TunnexPeer>& peer) {
                auto self = weak.lock();
                if (!self) {
                    if (udtSocket) UDT::close(*udtSocket);
                    return;
                }
                self->mainChannelConnected(peer, remote, udtSocket);
            });
        },
        timing_.mainChannelConnectLimit);
}

void TunnexHolePunch::mainChannelConnected(const std::shared_ptr<TunnexPeer>& peer,
                                           const std::shared_ptr<TunnexRemotePeer>& remote,
                                           const TunnexResult<int>& udtSocket) {
    finishAttemptTransaction(*peer, remote);
    if (!udtSocket) {
        KLLog(kKLTLoggingLevelError, "Main channel connect failed due to error: %s",
              udtSocket.error().description().c_str());
        peer->failedToConnectWithRemotePeer(remote);
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "Connection successful!");

    std::shared_ptr<TunnexRemotePeer> registered;
    if (auto manager = peer->context().manager()) {
        manager->assignPeerToRemote(peer, remote);
        registered = manager->updateRegistrationWithPeer(remote);
    }
    // The channel's messages need stunPeer, so it is set before the poll loop may read the channel.
    peer->setStunPeer(registered ? registered : remote);
    peer->takeMainChannel(TunnexSocketImpl::create(*udtSocket));
}

TunnexResult<void> TunnexHolePunch::sendMainChannelMessage(const std::shared_ptr<TunnexPeer>& peer,
                                                            const Bytes& message) {
    if (!peer) return TunnexError(TunnexErrorCode::NotConnected, "no peer");
    return peer->sendMainChannelMessage(message);
}

}  // namespace kl

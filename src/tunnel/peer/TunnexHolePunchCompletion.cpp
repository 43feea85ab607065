// The completion of a hole-punched connection: once per peer, on the remote record's serial
// queue, the punched UDP socket goes to UDT, which connects the main channel in rendezvous mode.
#include <cstring>
#include <thread>

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
namespace {

// Every main-channel send waits this long for UDT.
constexpr double kMainChannelSendTimeout = 10.0;

}  // namespace

void TunnexHolePunch::dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                         const std::shared_ptr<TunnexRemotePeer>& remote) {
    if (!peer || !remote) return;
    if (!peer->beginConnectionCompletion()) {
        KLLog(kKLTLoggingLevelInfo, "Have already dispatched completeConnectionWithPeer:");
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "Queueing complete connection with peer");
    std::weak_ptr<TunnexHolePunch> weak = weak_from_this();
    ++pendingCompletions_;
    remote->tunnelQueue()->async([weak, peer, remote] {
        if (auto self = weak.lock()) {
            self->completeConnectionWithPeer(peer, remote);
            --self->pendingCompletions_;
        }
    });
}

void TunnexHolePunch::completeConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                 const std::shared_ptr<TunnexRemotePeer>& remote) {
    // Whatever the outcome, the handshake of this attempt is over.
    struct FinishTransaction {
        TunnexContext& context;
        int64_t id;
        ~FinishTransaction() {
            auto manager = context.manager();
            if (auto transaction = manager ? manager->transactionForTransactionId(id) : nullptr) transaction->finish();
        }
    } finishTransaction{peer->context(), remote->attemptTransactionId()};
    KLLog(kKLTLoggingLevelInfo, "Completing connection for remote peer: (%s)",
          TunnexDisplayableUUID(remote->UUID()).c_str());
    KLLog(kKLTLoggingLevelDebug, "%s remote peer: %p", "completeConnectionWithPeer:", static_cast<void*>(remote.get()));
    peer->setHandoffComplete(true);  // the handoff socket's loop stops after its current pass

    // UDT reads the descriptor from now on: the socket's own loop must have let go of it.
    auto tunnelSocket = remote->tunnelSocket();
    KLLog(kKLTLoggingLevelDebug, "Starting connection countdown...");
    for (int check = 0; check < timing_.countdownChecks && tunnelSocket && tunnelSocket->isListening(); ++check) {
        std::this_thread::sleep_for(timing_.countdownInterval);
    }
    KLLog(kKLTLoggingLevelDebug, "Finished countdown");
    peer->reportConnectStage(2, 0.0f);
    if (!tunnelSocket) {
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
        KLLog(kKLTLoggingLevelError, "Main channel connect failed due to error: %s",
              "the peer's address was not named by the invitation");
        peer->failedToConnectWithRemotePeer(remote);
        return;
    }
    // From here on closing the socket object leaves the descriptor open: UDT owns it once bound.
    tunnelSocket->setSocketCloseOwnership(false);
    KLLog(kKLTLoggingLevelInfo, "Connecting to %s",
          AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("(none)").c_str());
    // Both sides connect toward each other at once (UDT's rendezvous mode).
    Result<int> udtSocket = openUDTChannel(tunnelSocket->sock(), address, TunnexChannelMode::Message,
                                           timing_.mainChannelConnectLimit);
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

bool TunnexHolePunch::sendMainChannelMessage(const std::shared_ptr<TunnexPeer>& peer, const Bytes& message) {
    return peer && peer->sendMainChannelMessage(message);
}

}  // namespace kl

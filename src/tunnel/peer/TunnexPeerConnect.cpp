// TunnexPeer's connection set-up toward one remote machine: the outgoing connect request, the
// three outcomes with what they tell the tunnel manager and the delegate, the status queries and
// the progress stages.
//
// connectionStatus is an atomic field: the steps that move it run on the caller's thread, the
// peer's queue and the main channel's poll loop, and the manager and the daemon read it from theirs.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/KLTLogging.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {
namespace {

constexpr const char* kConnectOperation = "connectToRemotePeer:";

// The account server's host id of the record; empty when the text is not a whole number.
std::optional<int64_t> serverIdOf(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end) return std::nullopt;
    return int64_t(value);
}

std::string remoteAddressText(const std::shared_ptr<TunnexRemotePeer>& remote) {
    const sockaddr_storage address = remote->address();
    return AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("(none)");
}

}  // namespace

void TunnexPeer::connectToRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remote) {
    if (!remote) {
        KLLog(kKLTLoggingLevelError, "%s - remote peer instance is nil", kConnectOperation);
        setConnectionStatus(TunnexTunnelDisconnected);
        return;
    }
    auto self = shared_from_this();
    auto manager = context_->manager();
    if (manager) manager->registerTimeoutForPeer(self);
    auto transaction = manager ? manager->nextTransactionWithPeer(self, remote) : nullptr;
    const std::string uuid = remote->UUID();
    const std::string displayable = TunnexDisplayableUUID(uuid);
    if (uuid.empty()) {
        KLLog(kKLTLoggingLevelError, "%s - No UUID provided for remote peer: (%s)", kConnectOperation,
              displayable.c_str());
        setConnectionStatus(TunnexTunnelDisconnected);
        return;
    }
    if (!transaction) {
        KLLog(kKLTLoggingLevelError, "%s - Could not build transaction for remote peer: (%s)", kConnectOperation,
              displayable.c_str());
        failedToConnectWithRemotePeer(remote);
        return;
    }
    const std::optional<int64_t> peerId = serverIdOf(remote->serverID());
    if (!peerId) {
        // A server id that is not a number would name some other host (or none) at the server.
        KLLog(kKLTLoggingLevelError, "%s - No serverId provided for connection to remote peer: (%s)",
              kConnectOperation, displayable.c_str());
        failedToConnectWithRemotePeer(remote);
        return;
    }
    manager->assignPeerToRemote(self, remote);
    manager->markStartForRemoteUUID(uuid);
    setConnectionStatus(TunnexTunnelInviting);
    const int64_t transactionId = transaction->transactionId();
    postToQueue([peerId = *peerId, transactionId, uuid](const std::shared_ptr<TunnexPeer>& self) {
        self->startConnectionWithConnectMessage(connectMessageFor(self->context().machineUUID(), uint64_t(peerId),
                                                                  uint64_t(transactionId)));
        if (auto manager = self->context().manager()) manager->reportConnectionStatus(self->connectionStatus(), uuid);
    });
}

uint64_t TunnexPeer::connectionHandleCounter() {
    return TunnexContext::processDefault()->connectionHandleCounter();
}

uint64_t TunnexPeer::startConnectionWithConnectMessage(const std::optional<Bytes>& message) {
    KLLog(kKLTLoggingLevelInfo, "Asking server to send Invitation");
    if (!message) return context_->connectionHandleCounter();
    const uint64_t handle = context_->nextConnectionHandle();
    setPeerConnectionHandle(handle);
    setCancel(false);
    reportConnectStage(0, 0.0f);
    auto sealed = sealServerRequest(*message);  // a cipher failure is logged there
    if (sealed) sendInvitationRequest(*sealed, handoffSocket(), context().serverPort());
    return handle;
}

// --- outcomes ---

void TunnexPeer::didConnectWithRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remote) {
    if (!remote) return;
    const std::string uuid = remote->UUID();
    KLLog(kKLTLoggingLevelInfo, "Did connect to remote peer: (%s)  %s", TunnexDisplayableUUID(uuid).c_str(),
          remoteAddressText(remote).c_str());
    {
        std::lock_guard lock(lock_);
        setConnectionComplete(true);
        setConnectionStatus(TunnexTunnelConnected);
    }
    auto self = shared_from_this();
    if (auto manager = context_->manager()) manager->peerDidConnectToRemote(self, remote);
    if (auto target = delegate()) target->tunnexPeerDidConnectWithRemotePeer(self, remote);
    globalQueue().async([self, uuid] {
        if (auto manager = self->context().manager()) {
            manager->reportConnectionStatus(self->connectionStatus(), uuid);
            manager->fulfillQueuedChannelRequestsForUUID(uuid);
        }
    });
}

namespace {

// Status is kept per remote machine. A peer whose attempt or tunnel ends while another peer serves
// the same remote (a late attempt after a quick restart of either side) must not report over the
// live tunnel's status.
bool reportsStatusFor(const TunnexPeer* peer, const std::shared_ptr<TunnexRemotePeer>& remote) {
    auto manager = peer->context().manager();
    if (!manager || !remote) return true;
    const std::string uuid = remote->UUID();
    const auto peers = manager->activePeers();
    if (std::any_of(peers.begin(), peers.end(), [&](const std::shared_ptr<TunnexPeer>& other) {
            return other.get() != peer && other->isConnectedToRemoteWithUUID(uuid);
        })) {
        KLLog(kKLTLoggingLevelInfo, "Another tunnel serves (%s); its status stays",
              TunnexDisplayableUUID(remote->UUID()).c_str());
        return false;
    }
    return true;
}

}  // namespace

void TunnexPeer::failedToConnectWithRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remote) {
    setConnectionStatus(TunnexTunnelDisconnected);
    auto self = shared_from_this();
    const bool reports = reportsStatusFor(this, remote);
    auto manager = context_->manager();
    if (manager) manager->peerFailedToConnectToRemote(self, remote);
    if (auto target = delegate()) target->tunnexPeerFailedToConnectWithRemotePeer(self, remote);
    if (manager && remote && reports) manager->dispatchReportConnectionStatus(connectionStatus(), remote->UUID());
}

void TunnexPeer::disconnectedFromRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remote,
                                            ForwardListeners listeners) {
    setConnectionStatus(TunnexTunnelDisconnected);
    auto self = shared_from_this();
    const bool reports = reportsStatusFor(this, remote);
    teardownConnection(listeners);
    auto manager = context_->manager();
    if (manager) manager->peerDisconnectedFromRemote(self, remote);
    if (auto target = delegate()) target->tunnexPeerDisconnectedFromRemotePeer(self, remote);
    if (manager && remote && reports) manager->dispatchReportConnectionStatus(connectionStatus(), remote->UUID());
}

// --- status queries ---

bool TunnexPeer::connecting() const {
    const TunnexTunnelStatus status = connectionStatus();
    return status >= TunnexTunnelQueueing && status <= TunnexTunnelEncrypting;
}

std::shared_ptr<TunnexRemotePeer> TunnexPeer::connectedRemote() const {
    auto remote = stunPeer();
    return remote && isConnected() ? remote : nullptr;
}

std::optional<std::string> TunnexPeer::connectedRemoteUUID() const {
    auto remote = connectedRemote();
    if (!remote) return std::nullopt;
    return remote->UUID();
}

bool TunnexPeer::isConnectedToRemoteWithUUID(const std::string& uuid) const {
    auto remote = stunPeer();
    if (!isConnected() || !remote) return false;
    if (remote->UUID() == uuid) return true;
    KLLog(kKLTLoggingLevelError, "Peer registered with incorrect UUID");
    return false;
}

// --- progress ---

const char* TunnexPeer::connectStageName(int32_t stage) {
    static const char* const kNames[] = {"Searching", "Contacting", "Connecting", "Encrypting", "Drawing"};
    return stage >= 0 && stage < 5 ? kNames[stage] : "";
}

void TunnexPeer::reportConnectStage(int32_t stage, float percent) {
    if (auto target = progressDelegate()) target->connectStage(connectStageName(stage), percent, stage);
}

}  // namespace kl

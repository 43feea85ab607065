// TunnexRemoteManager: connect requests and their queue, the tunnel peers by remote UUID, the
// peers' outcomes, status reports, connection time-outs and the life check.
#include <strings.h>

#include <algorithm>

#include "foundation/KLTLogging.h"
#include "foundation/KLTTimer.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceRecord.h"
#include "tunnel/manager/TunnexServiceRegistrar.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

// --- connect requests ---

void TunnexRemoteManager::connectToRemoteUUID(const std::string& uuid, std::shared_ptr<TunnexConnectDelegate> delegate) {
    if (uuid.empty()) {
        KLLog(kKLTLoggingLevelError, "Attempt to index remote without a UUID");
        return;
    }
    if (uuid == context_->machineUUID()) return;
    if (auto peer = peerForUUID(uuid)) {
        peer->setProgressDelegate(delegate);
        peer->setDelegate(delegate);
        if (peer->isConnectedToRemoteWithUUID(uuid)) {
            if (delegate) delegate->tunnexPeerConnectionExistsForRemotePeer(peer, remotePeerForUUID(uuid));
            return;
        }
        if (peer->connecting() || queueingConnectionForUUID(uuid)) return;
        peer->flagStatusAsQueueing();
    }
    std::weak_ptr<TunnexRemoteManager> weak = weak_from_this();
    auto connect = [weak, uuid, delegate](const std::shared_ptr<TunnexPeer>& peer) {
        auto self = weak.lock();
        if (!self) return;
        self->assignPeer(peer, uuid);
        peer->setProgressDelegate(delegate);
        peer->setDelegate(delegate);
        auto record = self->remotePeerForUUID(uuid);
        if (record) record->setActiveForwards(0);
        peer->connectToRemotePeer(record);
    };
    queueTunnexConnection({connect, uuid});
    fulfillNextQueuedConnection();
}

void TunnexRemoteManager::connectToService(const std::shared_ptr<TunnexServiceRecord>& service,
                                           std::shared_ptr<TunnexConnectDelegate> delegate) {
    connectToRemoteUUID(service ? service->uuid() : std::string(), std::move(delegate));
}

void TunnexRemoteManager::connectToRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                              std::shared_ptr<TunnexConnectDelegate> delegate) {
    connectToRemoteUUID(remotePeer ? remotePeer->UUID() : std::string(), std::move(delegate));
}

void TunnexRemoteManager::queueTunnexConnection(TunnexConnectionWrapper wrapper) {
    std::lock_guard lock(queueMutex_);
    for (const auto& queued : connectionQueue_) {
        if (queued.uuid == wrapper.uuid) return;
    }
    connectionQueue_.push_back(std::move(wrapper));
}

bool TunnexRemoteManager::queueingConnectionForUUID(const std::string& uuid) const {
    std::lock_guard lock(queueMutex_);
    return std::any_of(connectionQueue_.begin(), connectionQueue_.end(), [&](const TunnexConnectionWrapper& queued) {
        return strcasecmp(queued.uuid.c_str(), uuid.c_str()) == 0;
    });
}

size_t TunnexRemoteManager::queuedConnectionCount() const {
    std::lock_guard lock(queueMutex_);
    return connectionQueue_.size();
}

void TunnexRemoteManager::fulfillNextQueuedConnection() {
    // Requests start one at a time, so the next one sees the registered peer already connecting.
    // A call that comes while one is starting (a pong, or the action itself queueing another
    // request) leaves the look to the thread that starts it.
    {
        std::lock_guard lock(queueMutex_);
        if (fulfilling_) {
            fulfillAgain_ = true;
            return;
        }
        fulfilling_ = true;
    }
    for (;;) {
        startHeadOfQueue();
        std::lock_guard lock(queueMutex_);
        if (!fulfillAgain_) {
            fulfilling_ = false;
            return;
        }
        fulfillAgain_ = false;
    }
}

void TunnexRemoteManager::startHeadOfQueue() {
    auto peer = context_->registeredPeer();
    if (!peer || !peer->tunnexServerResponded() || peer->connecting()) return;
    TunnexConnectionWrapper head;
    {
        std::lock_guard lock(queueMutex_);
        if (connectionQueue_.empty()) return;
        head = std::move(connectionQueue_.front());
        connectionQueue_.erase(connectionQueue_.begin());
    }
    if (head.connectBlock) head.connectBlock(peer);
}

// --- tunnel peers by UUID ---

void TunnexRemoteManager::assignPeer(const std::shared_ptr<TunnexPeer>& peer, const std::string& uuid) {
    if (!peer || uuid.empty()) return;
    peer->setForwardManager(std::static_pointer_cast<TunnexForwardManagerLink>(shared_from_this()));
    std::lock_guard lock(mutex_);
    peersByUUID_[uuid] = peer;
}

void TunnexRemoteManager::assignPeerToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (!remotePeer) return;
    assignPeer(peer, remotePeer->UUID());
    updateRegistrationWithPeer(remotePeer);
}

std::shared_ptr<TunnexPeer> TunnexRemoteManager::peerForUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    auto found = peersByUUID_.find(uuid);
    return found == peersByUUID_.end() ? nullptr : found->second;
}

std::shared_ptr<TunnexPeer> TunnexRemoteManager::peerForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer) const {
    return remotePeer ? peerForUUID(remotePeer->UUID()) : nullptr;
}

std::vector<std::string> TunnexRemoteManager::uuidsForPeerLocked(const TunnexPeer* peer) const {
    std::vector<std::string> uuids;
    for (const auto& [uuid, candidate] : peersByUUID_) {
        if (candidate.get() == peer) uuids.push_back(uuid);
    }
    return uuids;
}

std::vector<std::string> TunnexRemoteManager::uuidsForPeer(const std::shared_ptr<TunnexPeer>& peer) const {
    std::vector<std::string> uuids;
    {
        std::lock_guard lock(mutex_);
        uuids = uuidsForPeerLocked(peer.get());
    }
    if (uuids.size() >= 2) {
        KLLog(kKLTLoggingLevelError, "Peer object (%p) has more than one associated UUID", static_cast<void*>(peer.get()));
        for (const auto& uuid : uuids) KLLog(kKLTLoggingLevelError, "%s", uuid.c_str());
    }
    return uuids;
}

std::string TunnexRemoteManager::uuidForPeer(const std::shared_ptr<TunnexPeer>& peer) const {
    auto uuids = uuidsForPeer(peer);
    return uuids.empty() ? std::string() : uuids.front();
}

void TunnexRemoteManager::deletePeer(const std::shared_ptr<TunnexPeer>& peer) {
    std::lock_guard lock(mutex_);
    std::erase_if(peersByUUID_, [&](const auto& entry) { return entry.second == peer; });
}

void TunnexRemoteManager::deletePeerForUUID(const std::string& uuid) {
    std::lock_guard lock(mutex_);
    peersByUUID_.erase(uuid);
}

std::vector<std::shared_ptr<TunnexPeer>> TunnexRemoteManager::activePeers() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<TunnexPeer>> peers;
    for (const auto& [uuid, peer] : peersByUUID_) peers.push_back(peer);
    return peers;
}

std::vector<std::shared_ptr<TunnexPeer>> TunnexRemoteManager::registeredTimeoutPeers() const {
    std::lock_guard lock(mutex_);
    return {peersWithRegisteredTimeouts_.begin(), peersWithRegisteredTimeouts_.end()};
}

void TunnexRemoteManager::unregisterPeerWithUUID(const std::string& uuid) {
    if (!peerForUUID(uuid)) return;
    if (auto registrar = tunnexServiceRegistrar()) registrar->unregisterServicesForUUID(uuid);
    deletePeerForUUID(uuid);
}

void TunnexRemoteManager::disconnectPeerWithUUID(const std::string& uuid) {
    auto peer = peerForUUID(uuid);
    if (!peer) return;
    peer->setCancel(true);
    peer->disconnectFromPeers();
    unregisterPeerWithUUID(uuid);
}

void TunnexRemoteManager::disconnectFromAllPeers() {
    std::map<std::string, std::shared_ptr<TunnexPeer>> peers;
    {
        std::lock_guard lock(mutex_);
        peers.swap(peersByUUID_);
    }
    for (const auto& [uuid, peer] : peers) peer->disconnectFromPeers();
}

void TunnexRemoteManager::registerServiceForwardingForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (!remotePeer) return;
    KLLog(kKLTLoggingLevelInfo, "Broadcasting services");
    auto registrar = tunnexServiceRegistrar();
    for (const auto& service : remotePeer->availableServices()) {
        KLLog(kKLTLoggingLevelDebug, "service: %s (%s) %s", service->name().c_str(), service->uuid().c_str(),
              service->type().c_str());
        if (registrar) registrar->broadcastService(service);
    }
}

void TunnexRemoteManager::registerServicesForUUID(const std::string& uuid) {
    auto record = remotePeerForUUID(uuid);
    if (!record) {
        KLLog(kKLTLoggingLevelError, "Could not index a remote peer for UUID (%s)", uuid.c_str());
        return;
    }
    registerServiceForwardingForRemote(record);
}

// --- events from the tunnel peer ---

void TunnexRemoteManager::peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                                 const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "TunnexRemoteManager peer:(%p) didConnectToRemote: (%s)", static_cast<void*>(peer.get()),
          TunnexDisplayableUUID(remotePeer ? remotePeer->UUID() : std::string()).c_str());
    registerServiceForwardingForRemote(updateRegistrationWithPeer(remotePeer));
    // A completed attempt needs no time-out any more.
    std::lock_guard lock(mutex_);
    peersWithRegisteredTimeouts_.erase(peer);
}

void TunnexRemoteManager::peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                                      const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "TunnexRemoteManager peer:(%p) failedToConnectToRemote: (%s)",
          static_cast<void*>(peer.get()), TunnexDisplayableUUID(remotePeer ? remotePeer->UUID() : std::string()).c_str());
    // Clients that connected while this attempt ran would otherwise wait on for nothing.
    if (remotePeer) closeChannelRequestsForUUID(remotePeer->UUID());
    forgetEndedPeer(peer, remotePeer);
}

void TunnexRemoteManager::peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>& peer,
                                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "TunnexRemoteManager peer:(%p) disconnectedFromRemote: (%s)",
          static_cast<void*>(peer.get()), TunnexDisplayableUUID(remotePeer ? remotePeer->UUID() : std::string()).c_str());
    forgetEndedPeer(peer, remotePeer);
}

void TunnexRemoteManager::forgetEndedPeer(const std::shared_ptr<TunnexPeer>& peer,
                                          const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    // Another peer may already serve the remote (a late attempt after a quick restart of either
    // side): the entry goes only with the peer it names.
    bool forgotten = false;
    {
        std::lock_guard lock(mutex_);
        if (remotePeer) {
            auto found = peersByUUID_.find(remotePeer->UUID());
            forgotten = found != peersByUUID_.end() && found->second == peer;
            if (forgotten) peersByUUID_.erase(found);
        }
        // A peer whose attempt has ended needs no time-out any more.
        peersWithRegisteredTimeouts_.erase(peer);
    }
    // The host's services were published over this tunnel; they go with it.
    if (forgotten) {
        if (auto registrar = tunnexServiceRegistrar()) registrar->unregisterServicesForUUID(remotePeer->UUID());
    }
}

// --- status ---

const char* TunnexRemoteManager::connectionStatusName(int32_t status) {
    static const char* const names[] = {"TunnexTunnelDisconnected", "TunnexTunnelQueueing", "TunnexTunnelInviting",
                                        "TunnexTunnelConnecting",   "TunnexTunnelEncrypting", "TunnexTunnelConnected"};
    return status >= 0 && status <= 5 ? names[status] : "";
}

void TunnexRemoteManager::dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) {
    if (uuid.empty()) return;
    bool changed;
    {
        std::lock_guard lock(mutex_);
        auto found = connectionStatusByUUID_.find(uuid);
        changed = found == connectionStatusByUUID_.end() || found->second.lastConnectionStatus != status;
        connectionStatusByUUID_[uuid] = {status, clock_()};
    }
    if (!changed) return;
    auto self = shared_from_this();
    globalQueue().async([self, status, uuid] { self->reportConnectionStatus(status, uuid); });
}

void TunnexRemoteManager::reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) {
    if (!uuid.empty()) {
        KLLog(kKLTLoggingLevelInfo, "Reporting connection status for (%s): (%s)", TunnexDisplayableUUID(uuid).c_str(),
              *connectionStatusName(status) ? connectionStatusName(status) : std::to_string(int(status)).c_str());
        if (auto target = delegate()) target->reportConnectionStatusForUUID(uuid, status);
    }
    connectivityChanged();
}

TunnexTunnelStatus TunnexRemoteManager::connectionStatusForUUID(const std::string& uuid) const {
    auto peer = peerForUUID(uuid);
    return peer ? peer->connectionStatus() : TunnexTunnelDisconnected;
}

// --- time-outs ---

void TunnexRemoteManager::registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>& peer) {
    if (!peer) return;
    peer->markStartForConnectionTimeout();
    std::lock_guard lock(mutex_);
    peersWithRegisteredTimeouts_.insert(peer);
}

void TunnexRemoteManager::timeoutRegisteredPeers() {
    struct Expired {
        std::shared_ptr<TunnexPeer> peer;
        std::string uuid;
    };
    // The peers are asked outside the table lock; an entry goes only if it is still there, so a
    // peer whose attempt ended meanwhile is not timed out as well.
    std::vector<std::shared_ptr<TunnexPeer>> due;
    for (const auto& peer : registeredTimeoutPeers()) {
        if (peer->shouldTimeoutPeer()) due.push_back(peer);
    }
    std::vector<Expired> expired;
    {
        std::lock_guard lock(mutex_);
        for (const auto& peer : due) {
            if (peersWithRegisteredTimeouts_.erase(peer) == 0) continue;
            auto uuids = uuidsForPeerLocked(peer.get());
            expired.push_back({peer, uuids.empty() ? std::string() : uuids.front()});
        }
    }
    // Outside the table lock: recycling takes the ping-socket lock, and the peer's own
    // disconnection calls back into the manager and its delegate.
    for (const auto& [peer, uuid] : expired) {
        auto stun = peer->stunPeer();
        KLLog(kKLTLoggingLevelDebug, "Timeout for peer: (%s) %p",
              TunnexDisplayableUUID(stun ? stun->UUID() : std::string()).c_str(), static_cast<void*>(peer.get()));
        if (!uuid.empty()) reportConnectionStatus(TunnexTunnelDisconnected, uuid);
        TunnexPeer::recycleRegisteredTunnexPeer(peer);
        peer->disconnectedFromRemote();
        deletePeer(peer);
    }
}

void TunnexRemoteManager::expireDisconnectedPeers() {
    for (const auto& peer : activePeers()) {
        if (!peer->shouldAbandonPeer()) continue;
        const std::string uuid = uuidForPeer(peer);
        if (!uuid.empty()) {
            if (auto target = delegate()) target->reportTimeoutForUUID(uuid);
            reportConnectionStatus(TunnexTunnelDisconnected, uuid);
        }
        deletePeer(peer);
    }
}

// --- life check ---

void TunnexRemoteManager::connectivityChanged() {
    bool anyPeer;
    {
        std::lock_guard lock(mutex_);
        anyPeer = !peersByUUID_.empty();
    }
    std::lock_guard lock(lifeCheckMutex_);
    if (!lifeCheckTimer_) {
        std::weak_ptr<TunnexRemoteManager> weak = weak_from_this();
        lifeCheckTimer_ = std::make_unique<KLTTimer>(kLifeCheckIntervalSeconds, [weak] {
            if (auto self = weak.lock()) self->connectivityTimerRun();
        });
    }
    if (anyPeer) {
        lifeCheckTimer_->startIfNeeded();
    } else {
        lifeCheckTimer_->cancelIfNeeded();
    }
}

void TunnexRemoteManager::connectivityTimerRun() {
    for (const auto& peer : activePeers()) {
        if (peer->connectionStatus() == TunnexTunnelConnected) peer->mainChannelLifeCheck();
    }
}

bool TunnexRemoteManager::lifeCheckRunning() const {
    std::lock_guard lock(lifeCheckMutex_);
    return lifeCheckTimer_ && lifeCheckTimer_->isRunning();
}

}  // namespace kl

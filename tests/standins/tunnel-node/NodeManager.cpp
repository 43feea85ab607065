#include "NodeManager.h"

namespace kl {

void NodeManager::addRemote(uint64_t serverId, const std::string& uuid) {
    auto remote = std::make_shared<TunnexRemotePeer>();
    remote->setUUID(uuid);
    remote->setServerID(std::to_string(serverId));
    std::lock_guard lock(mutex_);
    remotesById_[serverId] = remote;
}

std::shared_ptr<TunnexRemotePeer> NodeManager::remoteWithServerId(uint64_t serverId) {
    std::lock_guard lock(mutex_);
    auto found = remotesById_.find(serverId);
    return found == remotesById_.end() ? nullptr : found->second;
}

int64_t NodeManager::lastOriginatedTransactionId() {
    std::lock_guard lock(mutex_);
    return lastOriginated_;
}

std::shared_ptr<TunnexTransaction> NodeManager::nextTransactionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                                        const std::shared_ptr<TunnexRemotePeer>& remote) {
    auto transaction = std::make_shared<TunnexTransaction>();
    transaction->setTransactionId(TunnexTransaction::nextOriginatingTransactionId());
    transaction->setIsOriginator(true);
    transaction->setPeer(peer);
    transaction->setRemotePeer(remote);
    registerTransaction(transaction);
    std::lock_guard lock(mutex_);
    lastOriginated_ = transaction->transactionId();
    return transaction;
}

bool NodeManager::isOriginatorForTransactionId(int64_t transactionId) {
    auto transaction = transactionForTransactionId(transactionId);
    return transaction && transaction->isOriginator();
}

std::shared_ptr<TunnexTransaction> NodeManager::transactionForTransactionId(int64_t transactionId) {
    std::lock_guard lock(mutex_);
    auto found = transactions_.find(transactionId);
    return found == transactions_.end() ? nullptr : found->second;
}

void NodeManager::registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) {
    std::lock_guard lock(mutex_);
    transactions_[transaction->transactionId()] = transaction;
}

std::shared_ptr<TunnexRemotePeer> NodeManager::updateRegistrationWithPeer(const std::shared_ptr<TunnexRemotePeer>& remote) {
    std::lock_guard lock(mutex_);
    for (auto& [id, known] : remotesById_) {
        if (!remote->UUID().empty() && known->UUID() == remote->UUID()) {
            if (known != remote) known->synchronizeWithPeer(remote.get());
            return known;
        }
    }
    return remote;
}

std::vector<std::shared_ptr<TunnexPeer>> NodeManager::activePeers() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<TunnexPeer>> peers;
    for (auto& [uuid, peer] : peersByUUID_) peers.push_back(peer);
    return peers;
}

void NodeManager::assignPeerToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                     const std::shared_ptr<TunnexRemotePeer>& remote) {
    if (peer && remote && !remote->UUID().empty()) {
        std::lock_guard lock(mutex_);
        peersByUUID_[remote->UUID()] = peer;
    }
    if (remote) updateRegistrationWithPeer(remote);
}

void NodeManager::markStartForRemoteUUID(const std::string& uuid) {
    std::lock_guard lock(mutex_);
    for (auto& [id, known] : remotesById_) {
        if (known->UUID() == uuid) known->remoteStartInitiated();
    }
}

void NodeManager::reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) {
    reports_.async([report = report_, status, uuid] { report(uuid, status); });
}

void NodeManager::dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) {
    if (uuid.empty()) return;
    {
        std::lock_guard lock(mutex_);
        auto found = lastStatusByUUID_.find(uuid);
        const bool changed = found == lastStatusByUUID_.end() || found->second != status;
        lastStatusByUUID_[uuid] = status;
        if (!changed) return;
    }
    reportConnectionStatus(status, uuid);
}

void NodeManager::peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                         const std::shared_ptr<TunnexRemotePeer>& remote) {
    assignPeerToRemote(peer, remote);
}

void NodeManager::forgetPeer(const std::shared_ptr<TunnexPeer>& peer) {
    std::lock_guard lock(mutex_);
    std::erase_if(peersByUUID_, [&](const auto& entry) { return entry.second == peer; });
}

void NodeManager::peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                              const std::shared_ptr<TunnexRemotePeer>&) {
    forgetPeer(peer);
}

void NodeManager::peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexRemotePeer>&) {
    forgetPeer(peer);
}

}  // namespace kl

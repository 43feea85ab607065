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

std::shared_ptr<TunnexTransaction> NodeManager::originateTransaction(const std::shared_ptr<TunnexRemotePeer>& remote) {
    auto transaction = std::make_shared<TunnexTransaction>();
    transaction->setTransactionId(TunnexTransaction::nextOriginatingTransactionId());
    transaction->setIsOriginator(true);
    transaction->setRemotePeer(remote);
    registerTransaction(transaction);
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
            known->synchronizeWithPeer(remote.get());
            return known;
        }
    }
    return remote;
}

}  // namespace kl

// TunnexRemoteManager: the singleton, the registry of remote machines, the start marks, the
// transactions and the local connections that wait for a tunnel.
#include "tunnel/manager/TunnexRemoteManager.h"

#include <arpa/inet.h>

#include <cmath>

#include "foundation/KLTLogging.h"
#include "foundation/KLTTimer.h"
#include "platform/Executors.h"
#include "tunnel/forward/PFwdPrivate.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/manager/TunnexServiceRecord.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"
#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/SocketTable.h"
#include "tunnel/sockcore/TcpSocket.h"

namespace kl {

std::shared_ptr<TunnexRemoteManager> TunnexRemoteManager::sharedInstance() {
    static const std::shared_ptr<TunnexRemoteManager> instance =
        createForContext(TunnexContext::processDefault());
    return instance;
}

std::shared_ptr<TunnexRemoteManager> TunnexRemoteManager::create(TunnexClock clock) {
    return std::make_shared<TunnexRemoteManager>(Private{}, std::move(clock), TunnexContext::processDefault());
}

std::shared_ptr<TunnexRemoteManager> TunnexRemoteManager::createForContext(std::shared_ptr<TunnexContext> context,
                                                                           TunnexClock clock) {
    auto manager = std::make_shared<TunnexRemoteManager>(Private{}, std::move(clock), context);
    context->setManager(manager);
    return manager;
}

TunnexRemoteManager::TunnexRemoteManager(Private, TunnexClock clock, std::shared_ptr<TunnexContext> context)
    : clock_(std::move(clock)), context_(std::move(context)) {}

TunnexRemoteManager::~TunnexRemoteManager() = default;

std::shared_ptr<TunnexRemoteManagerDelegate> TunnexRemoteManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void TunnexRemoteManager::setDelegate(std::shared_ptr<TunnexRemoteManagerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

// --- registry ---

void TunnexRemoteManager::registerRemoteWithService(const std::shared_ptr<TunnexServiceRecord>& service) {
    if (!service) return;
    registerRemoteWithName(service->name(), service->hostUUID(), service->serverID(), service->serviceKey());
    if (auto record = remotePeerForUUID(service->hostUUID())) record->addService(service);
}

void TunnexRemoteManager::registerRemoteWithServiceConnector(const std::shared_ptr<TunnexServiceConnector>& connector) {
    if (!connector) return;
    registerRemoteWithName(connector->name(), connector->hostUUID(), connector->serverID(), connector->serviceKey());
}

void TunnexRemoteManager::registerRemoteWithName(const std::string& name, const std::string& uuid,
                                                 const std::string& serverID, const std::string& serviceKey) {
    if (name.empty() || uuid.empty() || serverID.empty() || serviceKey.empty()) return;
    std::lock_guard lock(mutex_);
    auto& record = remotePeersByUUID_[uuid];
    if (!record) {
        record = std::make_shared<TunnexRemotePeer>(clock_);
        record->setUUID(uuid);
        record->setHasPeerAddress(false);
    }
    record->setServerID(serverID);
    record->setName(name);
    remotePeersByServiceKey_[serviceKey] = record;
}

std::shared_ptr<TunnexRemotePeer> TunnexRemoteManager::updateRegistrationWithPeer(
    const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "entering %s for remotePeer: %p for: (%s)", "updateRegistrationWithPeer:",
          static_cast<void*>(remotePeer.get()),
          TunnexDisplayableUUID(remotePeer ? remotePeer->UUID() : std::string()).c_str());
    if (!remotePeer) {
        KLLog(kKLTLoggingLevelError, "could not update registration: remotePeer is nil");
        return nullptr;
    }
    const std::string uuid = remotePeer->UUID();
    if (uuid.empty()) {
        KLLog(kKLTLoggingLevelError, "remotePeer does not have a UUID");
        return nullptr;
    }
    std::shared_ptr<TunnexRemotePeer> registered;
    {
        std::lock_guard lock(mutex_);
        auto found = remotePeersByUUID_.find(uuid);
        if (found == remotePeersByUUID_.end()) return registerRemoteLocked(remotePeer);
        registered = found->second;
    }
    // The merge takes the two records' own locks, one at a time; the table lock is not needed.
    if (registered != remotePeer) registered->synchronizeWithPeer(remotePeer.get());
    return registered;
}

void TunnexRemoteManager::registerRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelInfo, "Registering remotePeer (%s)",
          TunnexDisplayableUUID(remotePeer ? remotePeer->UUID() : std::string()).c_str());
    if (!remotePeer) return;
    std::lock_guard lock(mutex_);
    registerRemoteLocked(remotePeer);
}

std::shared_ptr<TunnexRemotePeer> TunnexRemoteManager::registerRemoteLocked(
    const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    KLLog(kKLTLoggingLevelDebug, "entering %s for remotePeer: %p for: %s", "registerRemote:",
          static_cast<void*>(remotePeer.get()), TunnexDisplayableUUID(remotePeer->UUID()).c_str());
    remotePeersByUUID_[remotePeer->UUID()] = remotePeer;
    for (const auto& service : remotePeer->availableServices()) {
        remotePeer->synchronizeUuidOfService(service);
        remotePeersByServiceKey_[service->serviceKey()] = remotePeer;
    }
    return remotePeer;
}

std::shared_ptr<TunnexRemotePeer> TunnexRemoteManager::remotePeerForUUID(const std::string& uuid) const {
    if (uuid.empty()) return nullptr;
    std::lock_guard lock(mutex_);
    auto found = remotePeersByUUID_.find(uuid);
    return found == remotePeersByUUID_.end() ? nullptr : found->second;
}

std::shared_ptr<TunnexRemotePeer> TunnexRemoteManager::remotePeerForServiceKey(const std::string& serviceKey) const {
    std::lock_guard lock(mutex_);
    auto found = remotePeersByServiceKey_.find(serviceKey);
    return found == remotePeersByServiceKey_.end() ? nullptr : found->second;
}

// --- start marks ---

void TunnexRemoteManager::markStartForRemoteUUID(const std::string& uuid) {
    if (auto record = remotePeerForUUID(uuid)) record->remoteStartInitiated();
}

bool TunnexRemoteManager::recentStartAttemptForRemoteUUID(const std::string& uuid) const {
    auto record = remotePeerForUUID(uuid);
    return record && record->recentStartAttempt();
}

void TunnexRemoteManager::markStartForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (remotePeer) markStartForRemoteUUID(remotePeer->UUID());
}

bool TunnexRemoteManager::recentStartAttemptForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) const {
    return remotePeer && recentStartAttemptForRemoteUUID(remotePeer->UUID());
}

// --- transactions ---

std::shared_ptr<TunnexTransaction> TunnexRemoteManager::nextTransactionWithPeer(
    const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    auto transaction = std::make_shared<TunnexTransaction>();
    transaction->setTransactionId(TunnexTransaction::nextOriginatingTransactionId());
    transaction->setRemotePeer(remotePeer);
    transaction->setPeer(peer);
    lastOriginatedTransactionId_.store(transaction->transactionId());
    registerTransaction(transaction);
    return transaction;
}

void TunnexRemoteManager::registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) {
    if (!transaction) return;
    KLLog(kKLTLoggingLevelDebug, "Registering transaction (%p): %lld", static_cast<void*>(transaction.get()),
          (long long)transaction->transactionId());
    {
        std::lock_guard lock(mutex_);
        transactionDictionary_[transaction->transactionId()] = transaction;
    }
    if (auto remote = transaction->remotePeer()) markStartForRemoteUUID(remote->UUID());
    // Every transaction keeps its remote until pruned: housekeeping runs from the first one on.
    std::lock_guard lock(lifeCheckMutex_);
    if (!housekeepingTimer_) {
        std::weak_ptr<TunnexRemoteManager> weak = weak_from_this();
        housekeepingTimer_ = std::make_unique<KLTTimer>(kHousekeepingIntervalSeconds, [weak] {
            if (auto self = weak.lock()) self->performHousekeeping();
        });
    }
    housekeepingTimer_->startIfNeeded();
}

bool TunnexRemoteManager::housekeepingRunning() const {
    std::lock_guard lock(lifeCheckMutex_);
    return housekeepingTimer_ && housekeepingTimer_->isRunning();
}

std::shared_ptr<TunnexTransaction> TunnexRemoteManager::transactionForTransactionId(int64_t transactionId) {
    std::lock_guard lock(mutex_);
    auto found = transactionDictionary_.find(transactionId);
    return found == transactionDictionary_.end() ? nullptr : found->second;
}

bool TunnexRemoteManager::isOriginatorForTransactionId(int64_t transactionId) {
    auto transaction = transactionForTransactionId(transactionId);
    return transaction && transaction->isOriginator();
}

void TunnexRemoteManager::deleteTransaction(const std::shared_ptr<TunnexTransaction>& transaction) {
    if (!transaction) return;
    KLLog(kKLTLoggingLevelDebug, "Deleting transaction (%p): %lld", static_cast<void*>(transaction.get()),
          (long long)transaction->transactionId());
    std::lock_guard lock(mutex_);
    auto found = transactionDictionary_.find(transaction->transactionId());
    if (found != transactionDictionary_.end() && found->second == transaction) transactionDictionary_.erase(found);
}

void TunnexRemoteManager::pruneExpiredTransactions() {
    const double now = clock_().secondsSince1970;
    std::vector<std::shared_ptr<TunnexTransaction>> expired;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, transaction] : transactionDictionary_) {
            auto remote = transaction->remotePeer();
            if (!remote) {
                expired.push_back(transaction);
                continue;
            }
            const double started = remote->lastRemoteInitiationDate().secondsSince1970;
            if (started == 0) {
                KLLog(kKLTLoggingLevelError, "Transaction %lld has a remote without a start date; kept", (long long)id);
            } else if (std::fabs(now - started) > kTransactionLifetimeSeconds) {
                expired.push_back(transaction);
            }
        }
    }
    std::vector<int64_t> expiredIds;
    for (const auto& transaction : expired) {
        expiredIds.push_back(transaction->transactionId());
        deleteTransaction(transaction);
    }
    // The invitations that started them go too (and any that never got a transaction).
    context_->forgetInvitations(now - kTransactionLifetimeSeconds, expiredIds);
}

// --- channel requests ---

void TunnexRemoteManager::addChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) {
    auto service = request ? request->service() : nullptr;
    const std::string key = service ? service->serviceKey() : std::string();
    if (key.empty()) return;
    std::lock_guard lock(mutex_);
    channelRequestDictionary_[key].push_back(request);
}

std::vector<std::shared_ptr<TunnexChannelRequest>> TunnexRemoteManager::channelRequestsForServiceKey(
    const std::string& serviceKey) const {
    std::lock_guard lock(mutex_);
    auto found = channelRequestDictionary_.find(serviceKey);
    return found == channelRequestDictionary_.end() ? std::vector<std::shared_ptr<TunnexChannelRequest>>{}
                                                    : found->second;
}

void TunnexRemoteManager::newChannelRequests(std::vector<std::shared_ptr<TunnexChannelRequest>> requests,
                                             const std::string& serviceKey) {
    if (serviceKey.empty()) return;
    std::lock_guard lock(mutex_);
    channelRequestDictionary_[serviceKey] = std::move(requests);
}

void TunnexRemoteManager::removeChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) {
    auto service = request ? request->service() : nullptr;
    if (!service) return;
    std::lock_guard lock(mutex_);
    auto found = channelRequestDictionary_.find(service->serviceKey());
    if (found == channelRequestDictionary_.end()) return;
    std::erase(found->second, request);
    if (found->second.empty()) channelRequestDictionary_.erase(found);
}

std::vector<std::shared_ptr<TunnexChannelRequest>> TunnexRemoteManager::takeChannelRequests(
    const std::string& serviceKey) {
    std::lock_guard lock(mutex_);
    auto found = channelRequestDictionary_.find(serviceKey);
    if (found == channelRequestDictionary_.end()) return {};
    auto requests = std::move(found->second);
    channelRequestDictionary_.erase(found);
    return requests;
}

void TunnexRemoteManager::removeChannelRequestsForServiceKey(const std::string& serviceKey) {
    closeDroppedRequests(takeChannelRequests(serviceKey));
}

// A waiting local connection whose request is dropped would otherwise stay accepted and frozen,
// its client hanging, for as long as the process lives: close it. Only a socket that is still
// frozen is closed, so a descriptor number that was reused by a live connection is left alone.
// From a task: the requests may be dropped in a result pass (a client accepted) or outside one.
void TunnexRemoteManager::closeDroppedRequests(const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests) {
    if (requests.empty()) return;
    globalQueue().async([requests] { closeDroppedRequestsNow(requests); });
}

void TunnexRemoteManager::closeDroppedRequestsNow(const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests) {
    SocketCoreLock core;
    for (const auto& request : requests) {
        const int fd = request->orgSocket();
        if (SocketPtr owned = request->takeLocalSocket()) {
            KLLog(kKLTLoggingLevelDebug, "Closing the waiting local connection %d of a dropped channel request", fd);
            pfd_closeLocked(owned);
            request->setOrgSocket(-1);
            continue;
        }
        if (fd < 0) continue;
        TcpSocket* socket = sktreeFind(fd);
        if (!socket || !socket->frozen) continue;
        KLLog(kKLTLoggingLevelDebug, "Closing the waiting local connection %d of a dropped channel request", fd);
        socket->close();
        request->setOrgSocket(-1);
    }
}

void TunnexRemoteManager::fulfillQueuedChannelRequestsForUUID(const std::string& uuid) {
    if (auto record = remotePeerForUUID(uuid)) fulfillQueuedChannelRequestsForRemotePeer(record);
}

void TunnexRemoteManager::fulfillQueuedChannelRequestsForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (!remotePeer) return;
    for (const auto& service : remotePeer->availableServices()) {
        fulfillQueuedChannelRequestsForRemotePeer(remotePeer, service->serviceKey());
    }
    // A forward's service need not be among the services the record lists (a forward set up by
    // hand, or before the service list came): its waiting clients are this remote's all the same.
    fulfillChannelRequests(remotePeer, takeChannelRequestsForUUID(remotePeer->UUID()), "");
}

void TunnexRemoteManager::fulfillQueuedChannelRequestsForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                                    const std::string& serviceKey) {
    if (!remotePeer || serviceKey.empty()) return;
    // Taken out in one step, so a request added meanwhile waits for the next connection instead
    // of being dropped unseen.
    fulfillChannelRequests(remotePeer, takeChannelRequests(serviceKey), serviceKey);
}

void TunnexRemoteManager::fulfillChannelRequests(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                 const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests,
                                                 const std::string& serviceKey) {
    std::vector<std::shared_ptr<TunnexChannelRequest>> dropped;
    const std::string uuid = remotePeer->UUID();
    for (const auto& request : requests) {
        auto requestRemote = request->remotePeer();
        const std::string requestUUID = requestRemote ? requestRemote->UUID() : std::string();
        if (!request->recentChannelRequest()) {
            dropped.push_back(request);
            continue;
        }
        if (requestUUID != uuid) {
            KLLog(kKLTLoggingLevelError, "Channel request has associated remote peer objects with mismatched UUIDs");
            KLLog(kKLTLoggingLevelError, "%s != %s", requestUUID.c_str(), uuid.c_str());
            dropped.push_back(request);
            continue;
        }
        if (requestRemote != remotePeer) KLLog(kKLTLoggingLevelError, "Ummm.. the peer instances aren't actually equal");
        auto service = request->service();
        KLLog(kKLTLoggingLevelDebug, "Fulfilling channel request for service (%s) to peer (%s) with socket: %d",
              serviceKey.empty() && service ? service->serviceKey().c_str() : serviceKey.c_str(),
              TunnexDisplayableUUID(uuid).c_str(), request->orgSocket());
        const sockaddr_storage address = remotePeer->address();
        KLLog(kKLTLoggingLevelDebug, "Remote peer has address: %s:%u",
              AddressString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("(none)").c_str(),
              unsigned(remotePeer->port()));
        request->setRemotePeer(remotePeer);
        dispatchChannelRequest(request);
    }
    closeDroppedRequests(dropped);
}

std::vector<std::shared_ptr<TunnexChannelRequest>> TunnexRemoteManager::takeChannelRequestsForUUID(const std::string& uuid) {
    std::vector<std::shared_ptr<TunnexChannelRequest>> taken;
    if (uuid.empty()) return taken;
    std::lock_guard lock(mutex_);
    for (auto entry = channelRequestDictionary_.begin(); entry != channelRequestDictionary_.end();) {
        auto& waiting = entry->second;
        for (auto request = waiting.begin(); request != waiting.end();) {
            auto remote = (*request)->remotePeer();
            auto service = (*request)->service();
            const bool forUUID = (remote && remote->UUID() == uuid) || (service && service->hostUUID() == uuid);
            if (!forUUID) {
                ++request;
                continue;
            }
            taken.push_back(std::move(*request));
            request = waiting.erase(request);
        }
        entry = waiting.empty() ? channelRequestDictionary_.erase(entry) : std::next(entry);
    }
    return taken;
}

void TunnexRemoteManager::closeChannelRequestsForUUID(const std::string& uuid) {
    auto requests = takeChannelRequestsForUUID(uuid);
    if (requests.empty()) return;
    KLLog(kKLTLoggingLevelError, "Closing %zu waiting connection(s) to (%s): no tunnel to carry them",
          requests.size(), TunnexDisplayableUUID(uuid).c_str());
    closeDroppedRequests(requests);
}

void TunnexRemoteManager::dispatchChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) {
    if (!request || !request->createChannelBlock()) return;
    auto remote = request->remotePeer();
    if (!remote) {
        KLLog(kKLTLoggingLevelError, "Channel request without a remote peer dropped");
        closeDroppedRequests({request});
        return;
    }
    // The block returns at once: the peer's queue opens the channels one after the other, and no
    // thread waits for one.
    if (auto block = request->createChannelBlock()) block(request, nullptr);
}

void TunnexRemoteManager::channelRequestFailedForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) {
    if (!remotePeer) return;
    std::vector<std::shared_ptr<TunnexChannelRequest>> dropped;
    for (const auto& service : remotePeer->availableServices()) {
        auto requests = takeChannelRequests(service->serviceKey());
        dropped.insert(dropped.end(), requests.begin(), requests.end());
    }
    closeDroppedRequests(dropped);
    closeChannelRequestsForUUID(remotePeer->UUID());
}

}  // namespace kl

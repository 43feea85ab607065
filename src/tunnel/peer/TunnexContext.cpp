#include "tunnel/peer/TunnexContext.h"

#include "foundation/KLDevice.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/TunnexGuardedAccessors.h"

namespace kl {
namespace {

std::shared_ptr<TunnexContext> withHolePunch(std::shared_ptr<TunnexContext> context) {
    context->setConnectionLayer(TunnexHolePunch::create(TunnexHolePunch::Timing(), context));
    return context;
}

}  // namespace

const std::shared_ptr<TunnexContext>& TunnexContext::processDefault() {
    static const auto* context =
        new std::shared_ptr<TunnexContext>(withHolePunch(std::make_shared<TunnexContext>(Private{})));
    return *context;
}

std::shared_ptr<TunnexContext> TunnexContext::create() {
    return withHolePunch(std::make_shared<TunnexContext>(Private{}));
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexContext, linksMutex_, std::shared_ptr<TunnexPeerManagerLink>, manager, setManager,
                            manager_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexContext, linksMutex_, std::shared_ptr<TunnexPeerConnectionLayer>, connectionLayer,
                            setConnectionLayer, layer_)

std::shared_ptr<TunnexPeer> TunnexContext::registeredPeer() const {
    std::lock_guard lock(pingSocketLock_);
    return registeredPeer_;
}

std::shared_ptr<KLNetSocket> TunnexContext::pingSocket() const {
    std::lock_guard lock(pingSocketLock_);
    return pingSocket_;
}

std::string TunnexContext::serverHost() const {
    std::lock_guard lock(settingsMutex_);
    return serverHost_;
}

void TunnexContext::setServerHost(const std::string& host) {
    std::lock_guard lock(settingsMutex_);
    if (host != serverHost_) replyNonces_.reset();
    serverHost_ = host;
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexContext, settingsMutex_, uint16_t, serverPort, setServerPort, serverPort_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexContext, settingsMutex_, uint64_t, assignedId, setAssignedId, assignedId_)

std::string TunnexContext::machineUUID() const {
    {
        std::lock_guard lock(settingsMutex_);
        if (machineUUID_) return *machineUUID_;
    }
    return KLDevice::machineUniqueID().value_or(std::string());
}

void TunnexContext::setMachineUUID(std::string uuid) {
    std::lock_guard lock(settingsMutex_);
    machineUUID_ = std::move(uuid);
}

TunnexPeer::Timing TunnexContext::timing() const {
    std::lock_guard lock(settingsMutex_);
    return timing_;
}

void TunnexContext::setTiming(const TunnexPeer::Timing& timing) {
    std::lock_guard lock(settingsMutex_);
    timing_ = timing;
}

bool TunnexContext::followInvitation(int64_t transactionId, double now) {
    std::lock_guard lock(invitedMutex_);
    return invitedTransactions_.emplace(transactionId, now).second;
}

void TunnexContext::forgetInvitations(double cutoff, const std::vector<int64_t>& transactionIds) {
    std::lock_guard lock(invitedMutex_);
    for (int64_t id : transactionIds) invitedTransactions_.erase(id);
    std::erase_if(invitedTransactions_, [cutoff](const auto& entry) { return entry.second < cutoff; });
}

size_t TunnexContext::followedInvitationCount() const {
    std::lock_guard lock(invitedMutex_);
    return invitedTransactions_.size();
}

// --- the default context's installation points ---

std::shared_ptr<TunnexPeerManagerLink> tunnexPeerManager() { return TunnexContext::processDefault()->manager(); }

void setTunnexPeerManager(std::shared_ptr<TunnexPeerManagerLink> manager) {
    TunnexContext::processDefault()->setManager(std::move(manager));
}

std::shared_ptr<TunnexPeerConnectionLayer> tunnexPeerConnectionLayer() {
    return TunnexContext::processDefault()->connectionLayer();
}

void setTunnexPeerConnectionLayer(std::shared_ptr<TunnexPeerConnectionLayer> layer) {
    TunnexContext::processDefault()->setConnectionLayer(std::move(layer));
}

}  // namespace kl

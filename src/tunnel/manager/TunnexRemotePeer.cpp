#include "tunnel/manager/TunnexRemotePeer.h"

#include <algorithm>
#include <cstring>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexBundle.h"
#include "tunnel/TunnexGuardedAccessors.h"

namespace kl {

TunnexRemotePeer::TunnexRemotePeer(TunnexClock clock) : clock_(clock ? std::move(clock) : tunnexSystemClock()) {
    std::memset(&address_, 0, sizeof address_);
    std::memset(&proxyAddress_, 0, sizeof proxyAddress_);
    lastRemoteInitiationDate_ = clock_();
}

void TunnexRemotePeer::resetState() { setHasPeerAddress(false); }

std::vector<std::shared_ptr<TunnexServiceRecord>> TunnexRemotePeer::availableServices() const {
    std::lock_guard lock(servicesMutex_);
    std::vector<std::shared_ptr<TunnexServiceRecord>> services;
    services.reserve(services_.size());
    for (const auto& [key, service] : services_) services.push_back(service);
    return services;
}

TunnexRemotePeer::ServiceMap TunnexRemotePeer::serviceDictionary() const {
    std::lock_guard lock(servicesMutex_);
    return services_;
}

std::vector<TunnexAddress> TunnexRemotePeer::knownAddresses() const {
    std::lock_guard lock(addressesMutex_);
    return knownAddresses_;
}

bool TunnexRemotePeer::addKnownAddressWithAddress(const sockaddr_storage& address, uint16_t port,
                                                  bool externalAddress) {
    TunnexAddress candidate(address, port, externalAddress);
    std::lock_guard lock(addressesMutex_);
    if (std::find(knownAddresses_.begin(), knownAddresses_.end(), candidate) != knownAddresses_.end()) return false;
    knownAddresses_.push_back(candidate);
    return true;
}

void TunnexRemotePeer::addKnownAddressWithAddress(const TunnexAddress& address) {
    std::lock_guard lock(addressesMutex_);
    knownAddresses_.push_back(address);
}

void TunnexRemotePeer::synchronizeUuidOfService(const std::shared_ptr<TunnexServiceRecord>& service) const {
    if (!service) return;
    std::string uuid = UUID();
    if (uuid.empty()) return;
    std::string old = service->uuid();
    if (old == uuid) return;
    KLLog(kKLTLoggingLevelError, "Resetting uuid of service from '%s' to '%s'", old.c_str(), uuid.c_str());
    service->setUuid(uuid);
}

void TunnexRemotePeer::addService(const std::shared_ptr<TunnexServiceRecord>& service) {
    if (!service) return;
    synchronizeUuidOfService(service);
    std::string key = service->serviceKey();
    std::lock_guard lock(servicesMutex_);
    services_[key] = service;
}

bool TunnexRemotePeer::containsServiceWithKey(const std::string& key) const {
    if (key.empty()) return false;
    std::lock_guard lock(servicesMutex_);
    return services_.count(key) != 0;
}

void TunnexRemotePeer::remoteStartInitiated() { setLastRemoteInitiationDate(clock_()); }

bool TunnexRemotePeer::recentStartAttempt() const {
    return clock_().secondsSince1970 - lastRemoteInitiationDate().secondsSince1970 <= kRecentStartSeconds;
}

void TunnexRemotePeer::synchronizeWithPeer(const TunnexRemotePeer* other) {
    if (!other || other == this) return;
    if (name().empty()) setName(other->name());
    synchronizeAddressWithPeer(other);
    synchronizeAddressesWithPeer(other);
    synchronizeServicesWithPeer(other);
}

void TunnexRemotePeer::synchronizeAddressWithPeer(const TunnexRemotePeer* other) {
    KLLog(kKLTLoggingLevelDebug, "Synchronizing address of remote peer: %p with %p", static_cast<void*>(this),
          static_cast<const void*>(other));
    if (!other || other == this) return;

    // Copy the other's fields out first, so the two records' locks are never held together.
    sockaddr_storage address, proxyAddress;
    uint16_t port, proxyPort;
    bool hasPeerAddress, hasProxyAddress;
    std::shared_ptr<KLNetSocket> socket;
    {
        std::lock_guard lock(other->stateMutex_);
        address = other->address_;
        port = other->port_;
        hasPeerAddress = other->hasPeerAddress_;
        hasProxyAddress = other->hasProxyAddress_;
        proxyAddress = other->proxyAddress_;
        proxyPort = other->proxyPort_;
        socket = other->tunnelSocket_;
    }

    std::lock_guard lock(stateMutex_);
    address_ = address;
    port_ = port;
    hasPeerAddress_ = hasPeerAddress;
    hasProxyAddress_ = hasProxyAddress;
    // Without a proxy on the other side the old proxy bytes stay, marked invalid by the flag.
    if (hasProxyAddress) {
        proxyAddress_ = proxyAddress;
        proxyPort_ = proxyPort;
    }
    if (socket) tunnelSocket_ = std::move(socket);
}

void TunnexRemotePeer::synchronizeAddressesWithPeer(const TunnexRemotePeer* other) {
    if (!other || other == this) return;
    std::vector<TunnexAddress> incoming = other->knownAddresses();
    std::lock_guard lock(addressesMutex_);
    for (const TunnexAddress& address : incoming) {
        if (std::find(knownAddresses_.begin(), knownAddresses_.end(), address) == knownAddresses_.end())
            knownAddresses_.push_back(address);
    }
}

void TunnexRemotePeer::synchronizeServicesWithPeer(const TunnexRemotePeer* other) {
    if (!other || other == this) return;
    for (const auto& [key, service] : other->serviceDictionary()) {
        if (!service || containsServiceWithKey(key)) continue;
        synchronizeUuidOfService(service);
        std::string serviceKey = service->serviceKey();
        // A service added under the key meanwhile wins, as one already held would.
        std::lock_guard lock(servicesMutex_);
        services_.emplace(std::move(serviceKey), service);
    }
}

std::shared_ptr<SerialQueue> TunnexRemotePeer::tunnelQueue() {
    std::call_once(queueOnce_, [this] {
        tunnelQueue_ = std::make_shared<SerialQueue>(tunnexBundleIdentifier() + "_" + UUID());
    });
    return tunnelQueue_;
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, uint16_t, port, setPort, port_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, bool, hasPeerAddress, setHasPeerAddress, hasPeerAddress_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, std::shared_ptr<KLNetSocket>, tunnelSocket, setTunnelSocket, tunnelSocket_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, uint16_t, proxyPort, setProxyPort, proxyPort_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, bool, hasProxyAddress, setHasProxyAddress, hasProxyAddress_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, uint64_t, activeForwards, setActiveForwards, activeForwards_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, std::string, UDID, setUDID, udid_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, std::string, UUID, setUUID, uuid_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, std::string, serverID, setServerID, serverID_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, std::string, name, setName, name_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, Date, lastRemoteInitiationDate, setLastRemoteInitiationDate, lastRemoteInitiationDate_)

KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, sockaddr_storage, address, setAddress, address_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexRemotePeer, stateMutex_, sockaddr_storage, proxyAddress, setProxyAddress, proxyAddress_)

}  // namespace kl

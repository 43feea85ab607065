#include "daemon/model/PWRemoteHostReconciler.h"

#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl {

namespace {

const char* text(const std::optional<std::string>& s) { return s ? s->c_str() : "(null)"; }

int32_t statusFromText(const std::optional<std::string>& status) {
    if (!status) return 0;
    return (*status == "available" || *status == "connected") ? 1 : 0;
}

}  // namespace

std::shared_ptr<KLTNetService> createServiceFromHostRecord(const PWHostRecord& host, const std::string& type) {
    auto service = std::make_shared<KLTNetService>(kPWRemoteServiceDomain, type, host.name.value_or(""));
    service->setServerID(host.serverID);
    if (host.modelNumber) service->setSystemType(*host.modelNumber);
    service->setStatus(statusFromText(host.status));
    if (host.nickname) service->setNickname(*host.nickname);
    if (host.uuid) service->setUuid(*host.uuid);
    if (host.remoteAddresses) {
        for (const auto& part : splitString(*host.remoteAddresses, ';')) {
            if (part.empty()) continue;
            sockaddr_in address;
            if (!addressFromString(part, address)) {
                KLLog(kKLTLoggingLevelError, "Failed to convert the IP address string into a sockaddr_in: %s",
                      part.c_str());
                continue;
            }
            sockaddr_storage storage{};
            static_assert(sizeof address <= sizeof storage);
            std::memcpy(&storage, &address, sizeof address);
            service->addDiscoveredAddress(storage);
        }
    }
    return service;
}

PWRemoteHostUpdate PWRemoteHostReconciler::reconcile(const Value& hostRecords, const KLTNetServiceSet& previousSet,
                                                     const std::optional<std::string>& ownMachineID,
                                                     Clock::time_point now) {
    PWRemoteHostUpdate update;
    const Array* array = hostRecords.asArray();
    if (!array) {
        // Not a host list at all: keep what is known rather than read it as an empty account.
        KLLog(kKLTLoggingLevelError, "Ignoring host list that is not an array: %s", hostRecords.description().c_str());
        update.current = update.existing = previousSet;
        return update;
    }
    bool availabilityChanged = false;
    std::vector<PWHostRecord> hosts;
    for (const Value& value : *array) {
        auto parsed = parseHostRecord(value);
        if (!parsed.record) {
            KLLog(kKLTLoggingLevelError, "Skipping host record (%s): %s", parsed.refusal.c_str(),
                  value.description().c_str());
            continue;
        }
        hosts.push_back(std::move(*parsed.record));
    }

    for (const PWHostRecord& host : hosts) {
        bool available = host.available();
        if (host.uuid && host.hasStatus) {
            KLLog(kKLTLoggingLevelDebug, "host %s (%s) availability: %s", text(host.name), host.uuid->c_str(),
                  text(host.status));
            auto known = availabilityByUUID_.find(*host.uuid);
            if (known == availabilityByUUID_.end() || known->second != available) availabilityChanged = true;
        }
        if (!host.serviceTypes) continue;
        for (const std::string& type : *host.serviceTypes) {
            auto service = createServiceFromHostRecord(host, type);
            service->setStatus(available ? 1 : 0);
            // Of two records with one identity the set keeps the first, as a set does.
            update.current.emplace(service->identifierString(), service);
            update.servicesByUUID[*host.uuid] = service;
            update.records.push_back(std::move(service));
        }
    }

    bool ownHostListed = ownMachineID && update.servicesByUUID.count(*ownMachineID);
    if (ownMachineID && !ownHostListed && deletableDate_ && *deletableDate_ < now) {
        update.signOut = true;
    } else if (!beenAcknowledged_) {
        beenAcknowledged_ = true;
        deletableDate_ = now + kPWOwnHostGracePeriod;
    }

    static const KLTNetServiceSet kNone;
    const KLTNetServiceSet& previous = update.signOut ? kNone : previousSet;
    bool statusChanged = false;
    for (const auto& [key, service] : update.current) {
        auto before = previous.find(key);
        if (before == previous.end()) {
            update.added.emplace(key, service);
        } else {
            update.existing.emplace(key, service);
            if (before->second->status() != service->status()) statusChanged = true;
        }
    }
    for (const auto& [key, service] : previous)
        if (!update.existing.count(key)) update.removed.emplace(key, service);

    update.needsUpdate = availabilityChanged || !update.added.empty() || !update.removed.empty() || statusChanged;

    for (const PWHostRecord& host : hosts)
        if (host.uuid) availabilityByUUID_[*host.uuid] = host.available();
    return update;
}

}  // namespace kl

#include "daemon/PWRemoteServices.h"

#include "daemon/registrar/KLTServiceRegistrar.h"

#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

std::shared_ptr<PWRemoteServices> PWRemoteServices::create(Options options) {
    return std::shared_ptr<PWRemoteServices>(new PWRemoteServices(std::move(options)));
}

PWRemoteServices::PWRemoteServices(Options options) : options_(std::move(options)) {
    if (!options_.machineID) options_.machineID = [] { return KLDevice::machineUniqueID(); };
    if (!options_.clock) options_.clock = [] { return Clock::now(); };
    if (!options_.registerWithTunnel)
        options_.registerWithTunnel = [](const std::shared_ptr<KLTNetService>& service) {
            TunnexRemoteManager::sharedInstance()->registerRemoteWithService(service);
        };
    if (!options_.loop) options_.loop = &mainLoop();
}

void PWRemoteServices::updateRemoteServicesFromServer(const Array& hosts) {
    std::optional<std::string> ownID = options_.machineID();
    PWRemoteHostUpdate update = core_.reconcile(Value(hosts), remoteServices(), ownID, options_.clock());
    for (const auto& record : update.records) options_.registerWithTunnel(record);

    if (update.signOut) {
        KLLog(kKLTLoggingLevelError, "Deleting this peer (%s) from Port Weaver", TunnexDisplayableUUID(*ownID).c_str());
        if (auto client = client_.lock()) client->signOut();
    }
    setRemoteServices(update.current);
    if (!update.needsUpdate) return;

    KLLog(kKLTLoggingLevelDebug, "Sending PWRegistrarDidUpdateRemotesNotification (needsUpdate = %s)", "YES");
    {
        std::lock_guard lock(lock_);
        lastUpdate_ = update;
    }
    std::weak_ptr<PWAccountClient> weak = client_;
    options_.loop->post([weak, update] {
        // The service registrar publishes or withdraws local proxies from the change itself;
        // the control apps' relay only needs to hear that there was one.
        PWRegistrarDidUpdateRemotesNotification().emit(update);
        if (auto client = weak.lock()) client->didUpdateRemotes.emit();
    });
}

KLTNetServiceSet PWRemoteServices::remoteServices() const {
    std::lock_guard lock(lock_);
    return remoteServices_;
}

void PWRemoteServices::setRemoteServices(KLTNetServiceSet services) {
    std::lock_guard lock(lock_);
    remoteServices_ = std::move(services);
}

void PWRemoteServices::removeAllRemoteServices() { setRemoteServices({}); }

PWRemoteHostUpdate PWRemoteServices::lastUpdate() const {
    std::lock_guard lock(lock_);
    return lastUpdate_;
}

std::vector<PWRemoteServiceRecord> PWRemoteServices::remoteServiceRecords() const {
    std::vector<PWRemoteServiceRecord> records;
    for (const auto& [key, service] : remoteServices()) records.push_back(remoteServiceRecordFrom(*service));
    return records;
}

PWRemoteServiceRecord remoteServiceRecordFrom(const KLTNetService& service) {
    PWRemoteServiceRecord record;
    record.displayName = service.configuredName();
    record.status = service.status();
    record.type = service.type();
    record.serverID = service.serverID();
    record.modelNumber = service.systemType();
    record.nickname = service.nickname();
    record.uuid = service.uuid();
    return record;
}

}  // namespace kl

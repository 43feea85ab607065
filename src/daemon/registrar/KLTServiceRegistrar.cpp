#include "daemon/registrar/KLTServiceRegistrar.h"

#include <array>

#include "daemon/model/KLTNetService.h"
#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"

namespace kl {

namespace {

struct ServiceTypeRow {
    const char* type;
    uint16_t canonicalPort;
    bool proxied;
    const char* scheme;  // null: no URL
};

constexpr std::array<ServiceTypeRow, 8> kServiceTypes{{
    {"_afpovertcp._tcp", 548, true, "afp"},
    {"_smb._tcp", 445, false, "smb"},
    {"_daap._tcp", 3689, true, "daap"},
    {"_home-sharing._tcp", 3689, true, nullptr},
    {"_ssh._tcp", 22, true, "ssh"},
    {"_ftp._tcp", 21, false, nullptr},
    {"_rfb._tcp", 5900, true, "vnc"},
    {"_echo._tcp", 1337, false, nullptr},
}};

const ServiceTypeRow* rowForType(const std::optional<std::string>& type) {
    if (!type) return nullptr;
    for (const auto& row : kServiceTypes)
        if (*type == row.type) return &row;
    return nullptr;
}

constexpr const char* kRocket = "\xF0\x9F\x9A\x80";

}  // namespace

Signal<const PWRemoteHostUpdate&>& PWRegistrarDidUpdateRemotesNotification() {
    static auto* signal = new Signal<const PWRemoteHostUpdate&>;
    return *signal;
}

std::string KLTProxyServiceName(const std::string& hostName) {
    std::string name = std::string(kRocket) + " " + hostName;
    if (name.size() <= kKLTMaxServiceNameBytes) return name;
    // Step back over continuation bytes so that no character is cut in two.
    size_t cut = kKLTMaxServiceNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
    return name;
}

// --- creation ---

KLTServiceRegistrar::KLTServiceRegistrar(Environment environment) : environment_(std::move(environment)) {}

std::shared_ptr<KLTServiceRegistrar> KLTServiceRegistrar::create(Environment environment) {
    return std::shared_ptr<KLTServiceRegistrar>(new KLTServiceRegistrar(std::move(environment)));
}

std::shared_ptr<KLTServiceRegistrar> KLTServiceRegistrar::sharedInstance() {
    // Never destroyed: tunnel threads and the DNS-SD thread may still reach it while the process exits.
    static const auto* instance = new std::shared_ptr<KLTServiceRegistrar>([] {
        auto registrar = create(Environment{
            DnsSdPublisher::create([](Task task) { mainLoop().post(std::move(task)); }),
            &mainLoop(),
            TunnexRemoteManager::sharedInstance(),
            KLDevice::machineUniqueID(),
            &PWRegistrarDidUpdateRemotesNotification(),
        });
        setTunnexServiceRegistrar(registrar);
        return registrar;
    }());
    return *instance;
}

// --- the type table ---

uint16_t KLTServiceRegistrar::canonicalPortForServiceType(const std::optional<std::string>& type) {
    const auto* row = rowForType(type);
    return row ? row->canonicalPort : 0;
}

bool KLTServiceRegistrar::isSupportedServiceType(const std::optional<std::string>& type) {
    const auto* row = rowForType(type);
    return row && row->proxied;
}

std::optional<std::string> KLTServiceRegistrar::prefixForServiceType(const std::string& type) {
    const auto* row = rowForType(type);
    if (!row || !row->scheme) return std::nullopt;
    return std::string(row->scheme);
}

uint16_t KLTServiceRegistrar::nextHopefullyAvailablePortAssignment() {
    std::lock_guard lock(mutex_);
    const uint16_t port = portAssignmentIndex_;
    portAssignmentIndex_ = uint16_t(portAssignmentIndex_ + 1);
    if (portAssignmentIndex_ < kKLTFirstAssignedPort) portAssignmentIndex_ = kKLTFirstAssignedPort;
    return port;
}

// --- URLs ---

std::string KLTServiceRegistrar::URLStringWithPrefix(const std::string& prefix, uint16_t port,
                                                     const std::optional<std::string>& username) {
    if (!username || username->empty()) return URLStringWithPrefix(prefix, port);
    return prefix + "://" + *username + "@127.0.0.1:" + std::to_string(port) + "/";
}

std::string KLTServiceRegistrar::URLStringWithPrefix(const std::string& prefix, uint16_t port) {
    return prefix + "://127.0.0.1:" + std::to_string(port) + "/";
}

std::string KLTServiceRegistrar::URLStringWithPrefix(const std::string& prefix, const std::string& host) {
    return prefix + "://" + host + "/";
}

std::string KLTServiceRegistrar::URLStringWithPrefix(const std::string& prefix, const std::string& host, uint16_t port) {
    return prefix + "://" + host + ":" + std::to_string(port);
}

std::optional<std::string> KLTServiceRegistrar::URLStringForUUID(const std::string& uuid, const std::string& serviceType,
                                                                 const std::optional<std::string>& username) {
    auto holder = portHolderForUUID(uuid, serviceType);
    if (!holder) {
        KLLog(kKLTLoggingLevelError, "Could not index port holder for uuid: %s", uuid.c_str());
        return std::nullopt;
    }
    auto prefix = prefixForServiceType(serviceType);
    if (!prefix) return std::nullopt;
    return URLStringWithPrefix(*prefix, holder->localPort(), username);
}

// --- following host-list updates ---

void KLTServiceRegistrar::listenForServiceUpdates() {
    std::lock_guard lock(mutex_);
    if (updatesConnection_ || !environment_.hostUpdates) return;
    std::weak_ptr<KLTServiceRegistrar> weak = weak_from_this();
    updatesConnection_ = environment_.hostUpdates->connect([weak](const PWRemoteHostUpdate& update) {
        if (auto self = weak.lock()) self->registerUpdatedHosts(update);
    });
}

void KLTServiceRegistrar::ignoreServiceUpdates() {
    std::lock_guard lock(mutex_);
    if (updatesConnection_ && environment_.hostUpdates) environment_.hostUpdates->disconnect(*updatesConnection_);
    updatesConnection_.reset();
}

void KLTServiceRegistrar::registerUpdatedHosts(const PWRemoteHostUpdate& update) {
    for (const auto& [key, record] : update.added) broadcastService(record);
    for (const auto& [key, record] : update.removed) unbroadcastService(record);
    for (const auto& [key, record] : update.existing) {
        if (record && record->status() != 0)
            broadcastService(record);
        else
            unbroadcastService(record);
    }
}

// --- publishing ---

void KLTServiceRegistrar::broadcastService(const std::shared_ptr<TunnexServiceRecord>& service) {
    if (auto record = std::dynamic_pointer_cast<KLTNetService>(service)) broadcastService(record);
}

void KLTServiceRegistrar::broadcastService(const std::shared_ptr<KLTNetService>& service) {
    if (!service || service->type().empty() || !isSupportedServiceType(service->type())) return;
    if (environment_.ownMachineID && service->uuid() == *environment_.ownMachineID) return;
    const std::string key = service->serviceKey();

    std::lock_guard lock(mutex_);
    cancelRetryLocked(key);
    if (auto previous = portHolderForServiceKey(key)) {
        KLLog(kKLTLoggingLevelDebug, "Deallocating pre-existing service");
        // Before the new forward is made: both are kept under the same key by the tunnel peer.
        removeBroadcast(previous);
    }

    std::shared_ptr<TunnexRemotePeer> remotePeer;
    std::shared_ptr<TunnexPeer> peer;
    if (environment_.tunnelManager) {
        remotePeer = environment_.tunnelManager->remotePeerForUUID(service->uuid());
        peer = environment_.tunnelManager->peerForRemotePeer(remotePeer);
    }
    if (!peer) {
        KLLog(kKLTLoggingLevelDebug, "using registeredTunnexPeer for service");
        peer = TunnexPeer::registeredTunnexPeer();
    }
    if (!peer) {
        // No tunnel yet: try again on the main loop until one exists or the service is withdrawn.
        if (!environment_.loop) return;
        std::weak_ptr<KLTServiceRegistrar> weak = weak_from_this();
        auto retry = environment_.loop->after(kKLTBroadcastRetryDelay, [weak, service] {
            if (auto self = weak.lock()) self->broadcastService(service);
        });
        pendingBroadcasts_[key] = PendingBroadcast{service->uuid(), retry};
        return;
    }

    auto holder = KLTListeningPortHolder::create(*service, peer, remotePeer);
    if (registerServiceWithPortHolder(holder)) broadcastsByServiceKey_[key] = holder;
}

bool KLTServiceRegistrar::registerServiceWithPortHolder(const std::shared_ptr<KLTListeningPortHolder>& holder) {
    if (!holder) return false;
    const std::string type = holder->type();
    const std::string name = holder->name();
    const int socketType = KLTDnsSdService::sockTypeForServiceType(type);
    if (socketType == 0) {
        KLLog(kKLTLoggingLevelError, "Unsupported or missing transport type: %s", type.c_str());
        return false;
    }
    if (!isSupportedServiceType(type)) {
        KLLog(kKLTLoggingLevelError, "Unsupported service type: %s", type.c_str());
        return false;
    }
    holder->setRemotePort(canonicalPortForServiceType(type));
    const uint16_t remotePort = holder->remotePort();
    if (remotePort == 0) {
        KLLog(kKLTLoggingLevelError, "Canonical port for service %s unknown", type.c_str());
        return false;
    }
    auto peer = holder->peer();
    if (!peer) return false;
    KLLog(kKLTLoggingLevelDebug, "Attempting to register %s service (%s) to remote port: %d", type.c_str(), name.c_str(),
          int(remotePort));

    std::lock_guard lock(mutex_);
    // Forwarded ports are reachable from this machine only: the services behind them belong to
    // another host of the account and must not be handed to this host's network neighbours.
    constexpr bool kLoopbackOnly = true;
    uint16_t localPort = 0;
    for (int attempt = 0; attempt < kKLTPortForwardAttempts && localPort == 0; ++attempt) {
        localPort = peer->requestPortForwardFromPort(nextHopefullyAvailablePortAssignment(), "localhost", remotePort,
                                                     socketType, holder->remotePeer(), nullptr, holder, kLoopbackOnly);
    }
    if (localPort == 0) {
        KLLog(kKLTLoggingLevelError, "Failed to create port forward for %s service (%s)", type.c_str(), name.c_str());
        return false;
    }

    const std::string registeredName = KLTProxyServiceName(name);
    holder->setRegisteredName(registeredName);
    const bool localOnly = !holder->multicastToAllInterfaces();
    KLLog(kKLTLoggingLevelDebug, "Attempting to register service: %s with local port: %d using \"%s\"",
          holder->serviceKey().c_str(), int(localPort), registeredName.c_str());

    std::weak_ptr<KLTServiceRegistrar> weakSelf = weak_from_this();
    std::weak_ptr<KLTListeningPortHolder> weakHolder = holder;
    const auto reference = environment_.publisher
                               ? environment_.publisher->publish(
                                     DnsSdService{registeredName, type, localPort, localOnly},
                                     [weakSelf, weakHolder](DnsSdPublishEvent event, const std::string& published) {
                                         auto self = weakSelf.lock();
                                         auto current = weakHolder.lock();
                                         if (!self || !current || current->dnsReference() == 0) return;
                                         if (event == DnsSdPublishEvent::Registered)
                                             self->handleRegisterCallbackWithServiceRef(current->dnsReference(), published);
                                         else
                                             self->dnsSdFailed(current->dnsReference());
                                     })
                               : 0;
    if (reference == 0) {
        KLLog(kKLTLoggingLevelError, "Error registering DNS service: %d", -1);
        // A forward nobody can find would only hold the port.
        peer->cancelPortForwardForServiceKey(holder->serviceKey());
        return false;
    }
    holder->setDnsReference(reference);
    holder->setLocalPort(localPort);
    KLLog(kKLTLoggingLevelInfo, "Successfully registered %s service (%s) on local port: %d", type.c_str(), name.c_str(),
          int(localPort));
    return true;
}

void KLTServiceRegistrar::handleRegisterCallbackWithServiceRef(DnsSdPublisher::Id reference, const std::string& name) {
    if (auto holder = portHolderForDNSReference(reference)) holder->setRegisteredName(name);
}

void KLTServiceRegistrar::dnsSdFailed(DnsSdPublisher::Id reference) {
    auto holder = portHolderForDNSReference(reference);
    if (!holder) return;
    KLLog(kKLTLoggingLevelError, "DNS-SD refused %s; closing its forward", holder->serviceKey().c_str());
    removeBroadcast(holder);
}

// --- withdrawing ---

void KLTServiceRegistrar::unregisterServiceWithPortHolder(const std::shared_ptr<KLTListeningPortHolder>& holder) {
    if (!holder) return;
    if (const auto reference = holder->dnsReference(); reference != 0) {
        if (environment_.publisher) environment_.publisher->withdraw(reference);
        holder->setDnsReference(0);
    }
}

void KLTServiceRegistrar::withdraw(const std::shared_ptr<KLTListeningPortHolder>& holder) {
    unregisterServiceWithPortHolder(holder);
    // The listening port goes with the publication, so repeated updates leak no ports.
    if (auto peer = holder->peer()) peer->cancelPortForwardForServiceKey(holder->serviceKey());
}

void KLTServiceRegistrar::removeBroadcast(const std::shared_ptr<KLTListeningPortHolder>& holder) {
    std::lock_guard lock(mutex_);
    withdraw(holder);
    auto found = broadcastsByServiceKey_.find(holder->serviceKey());
    if (found != broadcastsByServiceKey_.end() && found->second == holder) broadcastsByServiceKey_.erase(found);
}

void KLTServiceRegistrar::unbroadcastService(const std::shared_ptr<KLTNetService>& service) {
    if (!service || service->type().empty()) return;
    const std::string key = service->serviceKey();
    std::lock_guard lock(mutex_);
    cancelRetryLocked(key);
    auto holder = portHolderForServiceKey(key);
    if (!holder) return;
    KLLog(kKLTLoggingLevelInfo, "Removing service broadcast for: %s", key.c_str());
    removeBroadcast(holder);
}

void KLTServiceRegistrar::unregisterServicesForUUID(const std::string& uuid) {
    std::lock_guard lock(mutex_);
    std::erase_if(pendingBroadcasts_, [&](const auto& entry) {
        if (entry.second.uuid != uuid) return false;
        entry.second.retry.cancel();
        return true;
    });
    for (const auto& holder : portHoldersForUUID(uuid)) removeBroadcast(holder);
}

void KLTServiceRegistrar::cancelPendingBroadcasts() {
    std::lock_guard lock(mutex_);
    for (const auto& [key, pending] : pendingBroadcasts_) pending.retry.cancel();
    pendingBroadcasts_.clear();
}

void KLTServiceRegistrar::leaveAccount() {
    cancelPendingBroadcasts();
    // Publications and their listening ports go first, while their peers still hold them: a peer's
    // teardown closes its listeners only later, off this thread, and would leave the ports open
    // for a moment after the sign-out returned.
    std::vector<std::shared_ptr<KLTListeningPortHolder>> holders;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, holder] : broadcastsByServiceKey_) holders.push_back(holder);
    }
    for (const auto& holder : holders) removeBroadcast(holder);
    // A machine that signed out must not go on serving the account's other hosts through tunnels
    // made while it was a member: each peer hears the goodbye and withdraws its proxies of this
    // machine.
    if (auto manager = environment_.tunnelManager) {
        for (const auto& peer : manager->activePeers())
            for (const auto& uuid : manager->uuidsForPeer(peer)) manager->disconnectPeerWithUUID(uuid);
    }
}

void KLTServiceRegistrar::followSignOuts(PWAccountClient& client) {
    std::weak_ptr<KLTServiceRegistrar> weak = weak_from_this();
    client.signInStateDidChange.connect([weak](PWRegistrarSignInState, PWRegistrarSignInState now) {
        auto self = weak.lock();
        if (self && now == PWRegistrarSignedOut) self->leaveAccount();
    });
}

void KLTServiceRegistrar::cancelRetryLocked(const std::string& serviceKey) {
    auto found = pendingBroadcasts_.find(serviceKey);
    if (found == pendingBroadcasts_.end()) return;
    found->second.retry.cancel();
    pendingBroadcasts_.erase(found);
}

// --- look-ups ---

std::shared_ptr<KLTListeningPortHolder> KLTServiceRegistrar::portHolderForServiceKey(const std::string& serviceKey) const {
    std::lock_guard lock(mutex_);
    auto found = broadcastsByServiceKey_.find(serviceKey);
    return found == broadcastsByServiceKey_.end() ? nullptr : found->second;
}

std::shared_ptr<KLTListeningPortHolder> KLTServiceRegistrar::portHolderForUUID(const std::string& uuid,
                                                                              const std::string& serviceType) const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, holder] : broadcastsByServiceKey_)
        if (holder->type() == serviceType && holder->hostUUID() == uuid) return holder;
    return nullptr;
}

std::vector<std::shared_ptr<KLTListeningPortHolder>> KLTServiceRegistrar::portHoldersForUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<KLTListeningPortHolder>> holders;
    for (const auto& [key, holder] : broadcastsByServiceKey_)
        if (holder->hostUUID() == uuid) holders.push_back(holder);
    return holders;
}

std::shared_ptr<KLTListeningPortHolder> KLTServiceRegistrar::portHolderForDNSReference(DnsSdPublisher::Id reference) const {
    if (reference == 0) return nullptr;
    std::lock_guard lock(mutex_);
    for (const auto& [key, holder] : broadcastsByServiceKey_)
        if (holder->dnsReference() == reference) return holder;
    return nullptr;
}

uint16_t KLTServiceRegistrar::localPortForUUID(const std::string& uuid, const std::string& serviceType) const {
    auto holder = portHolderForUUID(uuid, serviceType);
    return holder ? holder->localPort() : 0;
}

size_t KLTServiceRegistrar::pendingBroadcastCount() const {
    std::lock_guard lock(mutex_);
    return pendingBroadcasts_.size();
}

}  // namespace kl

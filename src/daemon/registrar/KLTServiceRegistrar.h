// KLTServiceRegistrar: makes the services of the account's other hosts look local. For each
// proxied service of a remote host it has the tunnel forward a fresh local port (loopback only)
// to the service's canonical port on that host, and publishes that port by DNS-SD under the
// service's own type, visible to this machine only. A publication ends, together with its
// forward, when the service, its host or the tunnel goes away.
//
// Called from the main loop (host-list updates, control requests) and from tunnel threads
// (tunnel up: broadcastService, tunnel down: unregisterServicesForUUID). One re-entrant lock
// serialises every change of the table and the port counter.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "daemon/PWAccountClient.h"
#include "daemon/model/PWRemoteHostReconciler.h"
#include "daemon/registrar/KLTListeningPortHolder.h"
#include "platform/Executors.h"
#include "platform/Signal.h"
#include "platform/dnssd/DnsSdPublisher.h"
#include "tunnel/manager/TunnexServiceRegistrar.h"

namespace kl {

class TunnexRemoteManager;

inline constexpr uint16_t kKLTFirstAssignedPort = 1024;
inline constexpr int kKLTPortForwardAttempts = 16;
inline constexpr auto kKLTBroadcastRetryDelay = std::chrono::seconds(1);
// DNS-SD labels are at most 63 bytes.
inline constexpr size_t kKLTMaxServiceNameBytes = 63;

// PWRegistrarDidUpdateRemotesNotification: the account client posts every host-list change here,
// on the main loop.
Signal<const PWRemoteHostUpdate&>& PWRegistrarDidUpdateRemotesNotification();

// "<rocket> <host name>", cut at a character boundary to fit one DNS-SD label.
std::string KLTProxyServiceName(const std::string& hostName);

class KLTServiceRegistrar : public TunnexServiceRegistrar,
                            public PWServiceUpdateFollower,
                            public std::enable_shared_from_this<KLTServiceRegistrar> {
public:
    struct Environment {
        std::shared_ptr<DnsSdPublisher> publisher;
        // Where retries run and DNS-SD callbacks arrive.
        MainLoop* loop = nullptr;
        // Finds the tunnel peer of a host.
        std::shared_ptr<TunnexRemoteManager> tunnelManager;
        // Services of this machine are never proxied; nothing: none is known to be ours.
        std::optional<std::string> ownMachineID;
        Signal<const PWRemoteHostUpdate&>* hostUpdates = nullptr;
    };

    // The process's registrar over avahi, the main loop and the shared tunnel manager; made on
    // first use and installed as the tunnel's registrar.
    static std::shared_ptr<KLTServiceRegistrar> sharedInstance();
    static std::shared_ptr<KLTServiceRegistrar> create(Environment environment);

    // --- the type table ---
    static uint16_t canonicalPortForServiceType(const std::optional<std::string>& type);
    static bool isSupportedServiceType(const std::optional<std::string>& type);
    static std::optional<std::string> prefixForServiceType(const std::string& type);

    // --- URLs ---
    static std::string URLStringWithPrefix(const std::string& prefix, uint16_t port, const std::optional<std::string>& username);
    static std::string URLStringWithPrefix(const std::string& prefix, uint16_t port);
    static std::string URLStringWithPrefix(const std::string& prefix, const std::string& host);
    static std::string URLStringWithPrefix(const std::string& prefix, const std::string& host, uint16_t port);

    // --- requests 26, 27 and 28 (PWServiceUpdateFollower) ---
    void listenForServiceUpdates() override;
    void ignoreServiceUpdates() override;
    std::optional<std::string> URLStringForUUID(const std::string& uuid, const std::string& serviceType,
                                                const std::optional<std::string>& username) override;

    // --- publishing ---
    void registerUpdatedHosts(const PWRemoteHostUpdate& update);
    // Takes a daemon record (KLTNetService); other records are ignored.
    void broadcastService(const std::shared_ptr<TunnexServiceRecord>& service) override;
    void broadcastService(const std::shared_ptr<KLTNetService>& service);
    void unbroadcastService(const std::shared_ptr<KLTNetService>& service);
    void unregisterServicesForUUID(const std::string& uuid) override;
    // Pending retries stop; publications stay.
    void cancelPendingBroadcasts();
    // This machine left the account: retries stop, every tunnel ends with a goodbye to its peer
    // and every publication goes with its forward.
    void leaveAccount();
    // Calls leaveAccount whenever the account client signs out.
    void followSignOuts(PWAccountClient& client);

    bool registerServiceWithPortHolder(const std::shared_ptr<KLTListeningPortHolder>& holder);
    void unregisterServiceWithPortHolder(const std::shared_ptr<KLTListeningPortHolder>& holder);
    uint16_t nextHopefullyAvailablePortAssignment();

    // --- look-ups ---
    std::shared_ptr<KLTListeningPortHolder> portHolderForUUID(const std::string& uuid, const std::string& serviceType) const;
    std::vector<std::shared_ptr<KLTListeningPortHolder>> portHoldersForUUID(const std::string& uuid) const;
    std::shared_ptr<KLTListeningPortHolder> portHolderForDNSReference(DnsSdPublisher::Id reference) const;
    uint16_t localPortForUUID(const std::string& uuid, const std::string& serviceType) const;
    std::shared_ptr<KLTListeningPortHolder> portHolderForServiceKey(const std::string& serviceKey) const;
    size_t pendingBroadcastCount() const;

    // DNS-SD answered for a publication: the name it holds now.
    void handleRegisterCallbackWithServiceRef(DnsSdPublisher::Id reference, const std::string& name);

private:
    explicit KLTServiceRegistrar(Environment environment);
    // Withdraws the publication and closes its forward; the table is the caller's.
    void withdraw(const std::shared_ptr<KLTListeningPortHolder>& holder);
    void removeBroadcast(const std::shared_ptr<KLTListeningPortHolder>& holder);
    void cancelRetryLocked(const std::string& serviceKey);
    void dnsSdFailed(DnsSdPublisher::Id reference);

    Environment environment_;
    mutable std::recursive_mutex mutex_;
    uint16_t portAssignmentIndex_ = kKLTFirstAssignedPort;
    std::map<std::string, std::shared_ptr<KLTListeningPortHolder>> broadcastsByServiceKey_;
    struct PendingBroadcast {
        std::string uuid;
        CancelHandle retry;
    };
    std::map<std::string, PendingBroadcast> pendingBroadcasts_;
    std::optional<Signal<const PWRemoteHostUpdate&>::Id> updatesConnection_;
};

}  // namespace kl

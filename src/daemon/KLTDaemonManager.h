// KLTDaemonManager: carries out the control apps' requests about the account, the host list,
// tunnels and service URLs, and relays host-list changes and tunnel states to the control apps.
// One per process, made on first use; it is then the tunnel manager's delegate. Requests arrive
// on the main loop; tunnel states arrive from the tunnel's pool threads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "daemon/PWAccountClient.h"
#include "daemon/PWDaemonBuildInfo.h"
#include "daemon/model/PWServicesManager.h"
#include "foundation/ipc/klipc.h"
#include "tunnel/manager/TunnexRemoteManagerDelegate.h"

namespace kl {

class KLTDaemonManager : public TunnexRemoteManagerDelegate, public std::enable_shared_from_this<KLTDaemonManager> {
public:
    struct Environment {
        PWDaemonBuildInfo build;
        std::shared_ptr<PWAccountClient> accountClient;     // none: nobody can sign in
        std::shared_ptr<PWServiceUpdateFollower> follower;  // none: no remote service is published
        std::shared_ptr<PWServicesManager> servicesManager; // the scan that uninstalling stops
        std::function<void()> stopRelays;                    // ends the account client's relays
        MainLoop* loop = nullptr;                            // stopped when the daemon removes itself
    };
    // What the shared manager is made with; set once at start-up, before the first request.
    static void setEnvironment(Environment environment);
    static std::shared_ptr<KLTDaemonManager> sharedManager();
    // Whether the shared manager exists yet (it is made by the first request that needs it).
    static bool sharedManagerExists();

    explicit KLTDaemonManager(Environment environment);

    void controlAppCheckInWithDictionary(klipc_object_t request);
    void signIn(klipc_object_t request, bool createAccount);
    void signOut(klipc_object_t request);
    void uninstall(klipc_object_t request);
    void prepareForUpgrade(klipc_object_t request);
    void askOtherControlAppsToQuit(klipc_object_t request, klipc_connection_t sender);
    void askOtherControlAppsToRestart(klipc_object_t request, klipc_connection_t sender);
    void simulateConnectionRequest(klipc_object_t request);
    void signInState(klipc_object_t request);
    void beginReportingHosts(klipc_object_t request);
    void reportHosts(klipc_object_t request);
    void endReportingHosts(klipc_object_t request);
    void deleteHost(klipc_object_t request);
    void reportEmailAddress(klipc_object_t request);
    void listenForServiceUpdates();
    void ignoreServiceUpdates();
    void URLforService(klipc_object_t request);
    void connectWithUUID(klipc_object_t request);
    void disconnectWithUUID(klipc_object_t request);
    void shouldUpdateHosts(klipc_object_t request);
    void requestHostUpdate(klipc_object_t request);

    // Message 6 to every registered control app while host reporting is on.
    void reportHostsChanged();
    void postRegistrarDidUpdateRemotesNotification();
    bool reportingHostChangesToControlApps() const { return reportingHosts_.load(); }

    // TunnexRemoteManagerDelegate (pool threads).
    void reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus connectionStatus) override;
    void reportTimeoutForUUID(const std::string& uuid) override {}

private:
    void askOthers(klipc_object_t request, klipc_connection_t sender, uint64_t command);
    // After the reply has gone: the end of the daemon's job, or of the process where no service
    // manager runs it.
    void removeOurJobAfterReply(klipc_object_t request, int logLevel);
    PWRegistrarSignInState registrarState() const;

    Environment environment_;
    std::atomic<bool> reportingHosts_{false};
    bool sharingEnabled_ = false;  // nothing in the daemon turns sharing on
    std::string currentControlAppBundlePath_;
};

// Posted (system-wide) after a simulated connection request has written its file.
inline constexpr const char* kPWConnectionRequestNotification = "com.kelvaro.portweaver.pwdaemon-got-connection-request";

// The path of the file a simulated connection request writes ("/tmp/com.kelvaro.portweaver.service"
// under the system root).
std::string simulatedConnectionRequestFile();

// Whether request grants the privileged commands: its "authorization" item has its 32-byte shape
// and the peer on sender's connection is root or an administrator.
bool CheckAuthorization(klipc_object_t request, klipc_connection_t sender);

}  // namespace kl

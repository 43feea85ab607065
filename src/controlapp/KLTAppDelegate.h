// The control app's link with the daemon: one control-socket connection, the commands the app
// sends with the handling of their replies, the daemon's messages, and the link and sign-in
// states that the views show.
//
// Threads: every sender and every state change runs on the main loop. The connection's events
// arrive on its own IPC queue; they move to the main loop except the host-list change (which only
// sends command 16 on the connection that reported it) and the tunnel status (applied to the
// services manager, which locks its host items). The blocking exchange's reply comes on the
// global pool while the main thread waits for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controlapp/KLTAppDelegateViews.h"
#include "controlapp/KLTDaemonBlessing.h"
#include "controlapp/KLTLaunchViews.h"
#include "controlapp/desktop/KLTOpenApplication.h"
#include "controlapp/desktop/PFMoveApplication.h"
#include "controlapp/PWDaemonState.h"
#include "daemon/model/PWServicesManager.h"
#include "foundation/ipc/klipc.h"
#include "platform/NotifyBus.h"
#include "platform/Signal.h"
#include "platform/Value.h"
#include "screen/apps/KLTBonjourBrowser.h"
#include "screen/startup/SingleInstanceLock.h"

namespace kl {

// The authorization item carried by privileged commands: 32 opaque bytes. The daemon decides by
// the peer's credentials; the item keeps the message's shape.
inline constexpr size_t kPWAuthorizationSize = 32;
// Posted on the system bus by a daemon once it listens: the app checks in again.
inline constexpr const char* kPWDaemonStartedNotification = "com.kelvaro.portweaver.daemon.started";
inline constexpr auto kPWBlockingExchangeTimeout = std::chrono::seconds(15);

// The pieces of an account-creation error text ("a|b"); a missing or empty text gives one empty
// piece, so the views always find both entries.
std::vector<std::string> splitAccountErrors(const std::string& text);

class KLTAppDelegate : public std::enable_shared_from_this<KLTAppDelegate>, public PFMoveApplicationDelegate {
public:
    struct Options {
        std::string bundlePath;  // sent with the check-in
        std::shared_ptr<PWServicesManager> servicesManager;
        std::weak_ptr<KLTAppDelegateViews> views;
        // Installs the bundle's daemon with root rights; default: the root helper.
        std::function<KLTBlessResult(const std::string& bundlePath)> bless = blessDaemonWithRootHelper;
        // What the start-up asks of the program around it.
        std::weak_ptr<KLTLaunchViews> launchViews = {};
        // Opens an application program; 0 or an errno. Default: detached from this process.
        std::function<int(const std::string& program)> openApplication = openApplicationDetached;
    };
    using SignInCompletion = std::function<void(uint32_t result, std::optional<std::string> error)>;
    using CreateAccountCompletion =
        std::function<void(uint64_t result, std::optional<std::map<std::string, std::vector<std::string>>> errors)>;
    using DeleteHostCompletion = std::function<void(bool succeeded, std::optional<Dictionary> error)>;
    using StringCompletion = std::function<void(std::string)>;
    using ReplyCompletion = std::function<void(int status, Dictionary reply)>;

    static std::shared_ptr<KLTAppDelegate> create(Options options);
    ~KLTAppDelegate() override;

    // Start-up and lifecycle (KLTAppDelegateStartup.cpp).
    // The delegate whose start-up ran last in this process, while it exists.
    static std::shared_ptr<KLTAppDelegate> appDelegate();
    // "startAtLogin" YES, "firstRun" YES, "loggingLevel" "1": answered while the user set nothing.
    static const Dictionary& registeredDefaults();
    // The lock that makes one copy per user run: $XDG_RUNTIME_DIR, else the user's own runtime
    // (root) or configuration (others) folder, never a folder other users may write.
    static std::filesystem::path instanceLockPath();
    // The start-up sequence. A second copy of this user only shows the warning and does nothing
    // else: no defaults, no user interface, no daemon link.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void loadDefaults();
    void updateDefaults();
    void updateUserInterfaceWithDefaults();
    void showUI();
    // The services scan changed: restarts the bundle's screen service when the scan lost it.
    void servicesChanged();
    void serviceConnected();
    void serviceDisconnected();
    // Stops this user's own service processes (never another user's, never this app, never a
    // record without a real pid), then opens the bundle's screen service again.
    void killOurServices();
    void userChoseToMoveApplication(bool move) override;
    bool isInstallAndSetupDone() const;
    bool isSharingOn() const;
    bool needsUpgrade();
    // The bundle's screen service program when it exists.
    std::optional<std::string> deskgateServicePath() const;
    // Made on first use for the type "portweaver"; nothing in the app starts it.
    KLTBonjourBrowser& bonjourBrowser();
    bool startAtLogin = true;
    bool firstRun = true;
    bool alreadyRunning = false;
    bool deskgateAvailable = false;
    std::optional<std::string> deskgateServiceURL;

    // Connection and generic senders.
    bool createDaemonConnection();
    void cancelDaemonConnection();
    bool hasDaemonConnection() const { return daemonConnection_ != nullptr; }
    void sendSimpleDaemonCommand(uint64_t command, bool withAuthorization);
    // Sends command with the authorization and waits (15 s at most) for "succeeded"; on success
    // the connection is cancelled, since the daemon is about to go away.
    bool sendAuthorizedCommandToDaemonAndWaitForReply(uint64_t command);

    // Commands.
    void checkInWithDaemon();
    void trySignInWithEmail(const std::string& email, const std::string& password, SignInCompletion completion);
    void createAccountWithEmail(const std::string& email, const std::string& password,
                                CreateAccountCompletion completion);
    void signoutRequest();
    void tellDaemonToTellControlAppsToQuitOrRestart(bool quit);
    void updateSignInState();
    void beginHostNotifications();
    void pullCurrentHosts();
    void endHostNotifications();
    void deleteHostWithID(const std::string& hostID, DeleteHostCompletion completion);
    void savedEmailAddressWithCompletionBlock(StringCompletion completion);
    void startFileSharingManager();
    void stopFileSharingManager();
    void URLForUUID(const std::string& uuid, const std::string& serviceType, const std::string& username,
                    StringCompletion completion);
    void connectWithUUID(const std::string& uuid, ReplyCompletion completion = {});
    void disconnectWithUUID(const std::string& uuid, ReplyCompletion completion = {});
    void shouldRequestHostUpdates(bool should);
    void requestHostUpdateFromPortweaver();

    // Sign-in state.
    void updateSignInState(uint32_t state);
    void updateSignInStateWithSignInResult(uint32_t result);
    void changeRegistrarStateToNotSignedIn() { updateSignInState(0); }
    // Refuses 0 -> 2: "signed in but offline" is never shown to a user who is not signed in.
    void setRegistrarState(uint32_t state);
    uint32_t registrarState() const { return registrarState_; }
    Signal<uint32_t> registrarStateChanged;
    // Posted on the main loop after a host list was pulled.
    Signal<> remotesDidUpdate;

    // Authorization.
    bool checkGenericAuthorization() const;
    void addAuthorization(klipc_object_t message, const char* operation) const;
    const std::vector<uint8_t>& genericAuthorization() const { return genericAuthorization_; }
    void resetGenericAuthorization();

    // Installation and upgrade of the daemon (KLTAppDelegateInstall.cpp).
    void setupDaemon();
    void observeDaemonStarts();
    void updateVersionsNumbers();
    // The versions in the bundle's copy of tool; true when the version and the build date were found.
    bool getInAppVersion(std::optional<std::string>* version, std::optional<std::string>* revision,
                         std::optional<Date>* buildDate, const std::string& tool) const;
    void install();
    bool daemonInstallNeed();
    void installOrUpgradeDaemon();
    void upgrade();
    bool prepareDaemonForUpgrade();
    std::string appVersion;
    std::string fullVersionString;
    std::optional<std::string> ourDaemonVersion;
    std::optional<std::string> ourDaemonRevision;
    std::optional<Date> ourDaemonBuildDate;

    // Login items (KLTAppDelegateDesktop.cpp). The app's item is its program, bin/portweaver of
    // the bundle. changeStartAtLoginState stores "startAtLogin"; NO removes the session entry and,
    // when there is one, the global entry.
    void changeStartAtLoginState(bool start);
    void addSystemWideLoginItem();
    void addSystemWideLoginItemForPath(const std::string& path);
    void removeSystemWideLoginItem();
    // Removes the entries (global, then session) whose program contains text but not excludedURL:
    // older copies of the screen service stop starting at login.
    void deleteLoginItemsMatchingUTI(const std::string& text, const std::string& excludedURL);
    std::string loginItemProgram() const;

    // Updater delegate calls (KLTAppDelegateDesktop.cpp): a found update is offered in the views;
    // before one is installed the screen service stops and the daemon prepares for the upgrade.
    void updaterDidFindValidUpdate(const std::string& version);
    void updaterWillInstallUpdate(const std::string& itemDescription);
    bool updateIsAvailable = false;

    // ---- Uninstall and the tools menu (KLTAppDelegateUninstall.cpp) ----
    struct UninstallHooks {
        // Runs the root helper with these arguments; true when it succeeded. Default: the bundle's
        // helper, through pkexec unless the app is root.
        std::function<bool(const std::vector<std::string>& args)> runRootHelper;
        // Whether the app's Debian package owns the bundle. Default: asks dpkg.
        std::function<bool(const std::string& bundlePath)> packageOwnsBundle;
    };
    UninstallHooks uninstallHooks;
    // Asks the daemon to remove itself; on its consent, or when it is gone, removes the user's
    // side and the bundle and leaves. A daemon that refuses leaves everything in place.
    void uninstall();
    // Preferences, host archive, login items, the user's service processes, the bundle; then the
    // app terminates.
    void removeLocalInstallation();
    void removeBundle();
    // The daemon refused to uninstall (the user may not change the system).
    Signal<> uninstallRefused;
    // changeStartAtLoginState's new setting, for the tools menu's check mark.
    Signal<bool> startAtLoginChanged;
    // ---- end of uninstall and the tools menu ----

    // Link state and what the check-in told.
    PWDaemonState daemonState() const { return daemonState_.load(); }
    void setDaemonState(PWDaemonState state) { daemonState_.store(state); }
    bool doingDaemonUpgrade = false;
    bool sharingEnabled = false;
    bool connectedToClient = false;
    std::optional<std::string> clientAddress;
    double daemonBuildTimeInterval = 0;
    std::optional<std::string> daemonVersion;
    std::optional<std::string> daemonRevision;
    std::optional<std::string> tunnexVersion;

private:
    explicit KLTAppDelegate(Options options);
    void handleEvent(klipc_connection_t connection, KLIPCMessageType type, klipc_object_t object);
    void handleDaemonMessage(klipc_connection_t connection, klipc_object_t message);
    void handleConnectionStatus(klipc_object_t message);
    void handleCheckInReply(KLIPCMessageType type, klipc_object_t reply);
    void handleHostsReply(KLIPCMessageType type, klipc_object_t reply);
    void updateConnectionStateFromMessage(klipc_object_t message);
    void updateSignInStateFromMessage(klipc_object_t message);
    void pullCurrentHostsOn(klipc_connection_t connection);
    void sendUUIDCommand(uint64_t command, const std::string& uuid, ReplyCompletion completion);
    // Sends message with its reply handled by handler on the main loop, keeping this object weakly.
    void sendWithReply(klipc_connection_t connection, klipc_object_t message,
                       std::function<void(KLTAppDelegate&, KLIPCMessageType, klipc_object_t)> handler);
    template <class F> void withViews(F f) const {
        if (auto views = options_.views.lock()) f(*views);
    }
    template <class F> void withLaunchViews(F f) const {
        if (auto views = options_.launchViews.lock()) f(*views);
    }
    void observeServicesAndScreenService();
    void launchScreenService();

    Options options_;
    klipc_connection_t daemonConnection_ = nullptr;  // main loop only
    std::atomic<PWDaemonState> daemonState_{ePWDaemonStateNotCheckedIn};
    uint32_t registrarState_ = 0;
    std::vector<uint8_t> genericAuthorization_;
    std::unique_ptr<NotifyBus::Observer> daemonStartedObserver_;
    std::unique_ptr<SingleInstanceLock> instanceLock_;  // held for the process's life
    std::vector<std::shared_ptr<void>> observations_;   // each ends its observation when released
    std::unique_ptr<KLTBonjourBrowser> bonjourBrowser_;
};

}  // namespace kl

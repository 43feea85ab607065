// The app delegate's start-up and shut-down, its defaults, and its supervision of the bundle's
// screen service.
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/desktop/KLTProcess.h"
#include "foundation/KLTLogging.h"
#include "platform/Paths.h"
#include "platform/Preferences.h"

namespace kl {

namespace {

constexpr const char* kAppIdentifier = "com.kelvaro.portweaver.controlapp";
// The screen service's program in the bundle; also its name in the services scan and the text
// its login items are recognised by.
constexpr const char* kDeskgateServiceName = "com.kelvaro.portweaver.service.deskgate";
constexpr const char* kBonjourServiceName = "portweaver";
// Posted by the screen service on the session bus as a viewer comes and goes.
constexpr const char* kServerConnectedToDevice = "com.kelvaro.Deskgate.ServerConnectedToDevice";
constexpr const char* kServerDisconnectedFromDevice = "com.kelvaro.Deskgate.ServerDisconnectedFromDevice";

std::weak_ptr<KLTAppDelegate>& launchedDelegate() {
    static std::weak_ptr<KLTAppDelegate> delegate;
    return delegate;
}

bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}  // namespace

std::shared_ptr<KLTAppDelegate> KLTAppDelegate::appDelegate() { return launchedDelegate().lock(); }

const Dictionary& KLTAppDelegate::registeredDefaults() {
    static const Dictionary defaults{
        {"startAtLogin", Value(true)}, {"firstRun", Value(true)}, {"loggingLevel", Value(std::string("1"))}};
    return defaults;
}

std::filesystem::path KLTAppDelegate::instanceLockPath() {
    // Not "<identifier>.lock": as root that is the control socket's own lock in /run.
    const std::string name = std::string(kAppIdentifier) + ".instance.lock";
    if (const char* session = std::getenv("XDG_RUNTIME_DIR"); session && session[0] == '/') {
        std::error_code error;
        if (std::filesystem::is_directory(session, error) && ::access(session, W_OK | X_OK) == 0)
            return std::filesystem::path(session) / name;
    }
    // Without a usable session folder: not the shared /tmp, where another user could hold the lock
    // first.
    return (paths::isPrivileged() ? paths::runtimeDir() : paths::configHome() / "Kelvaro") / name;
}

void KLTAppDelegate::applicationDidFinishLaunching() {
    KLLog(kKLTLoggingLevelInfo, "applicationDidFinishLaunching:");
    launchedDelegate() = weak_from_this();
    withLaunchViews([](auto& v) { v.startCrashReporting(); });

    // A lock rather than a count of running copies: of two copies started together exactly one
    // gets it, where both would count two and both would quit.
    bool heldElsewhere = false;
    instanceLock_ = SingleInstanceLock::acquire(instanceLockPath(), &heldElsewhere);
    if (!instanceLock_ && !heldElsewhere)
        KLLog(kKLTLoggingLevelError, "Cannot lock %s: running without the one-copy check", instanceLockPath().c_str());
    if (!instanceLock_ && heldElsewhere) {
        alreadyRunning = true;
        KLLog(kKLTLoggingLevelInfo, "Port Weaver is already running");
        withLaunchViews([](auto& v) { v.showAlreadyRunningWarning([] { mainLoop().stop(); }); });
        return;
    }

    loadDefaults();
    withLaunchViews([](auto& v) { v.initializeUserInterface(); });
    updateUserInterfaceWithDefaults();
    withLaunchViews([this](auto& v) { v.startUpdateCheck(weak_from_this()); });
    updateSignInState(0);

    observeServicesAndScreenService();
    if (options_.servicesManager) options_.servicesManager->beginReportingServicesAvailability();
    servicesChanged();

    withLaunchViews([this](auto& v) { v.moveToApplicationsFolderIfNecessary(weak_from_this()); });
    launchScreenService();
    setupDaemon();
    if (startAtLogin) KLTLaunchServices::addAppAsLoginItem(loginItemProgram(), false, kAppIdentifier);
    if (firstRun) showUI();
    firstRun = false;
    updateDefaults();
}

void KLTAppDelegate::observeServicesAndScreenService() {
    observations_.clear();
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    if (auto manager = options_.servicesManager) {
        // The scan runs on the main loop, so its signals arrive there.
        auto changed = [weak](const std::vector<PWRunningService>&) {
            if (auto self = weak.lock()) self->servicesChanged();
        };
        auto added = manager->addedServices.connect(changed);
        auto removed = manager->removedServices.connect(changed);
        observations_.emplace_back(nullptr, [manager, added, removed](void*) {
            manager->addedServices.disconnect(added);
            manager->removedServices.disconnect(removed);
        });
    }
    auto onMain = [](Task task) { mainLoop().post(std::move(task)); };
    observations_.push_back(std::make_shared<NotifyBus::Observer>(kServerConnectedToDevice, NotifyBus::Scope::Session,
                                                                  onMain, [weak] {
                                                                      if (auto self = weak.lock()) self->serviceConnected();
                                                                  }));
    observations_.push_back(std::make_shared<NotifyBus::Observer>(
        kServerDisconnectedFromDevice, NotifyBus::Scope::Session, onMain, [weak] {
            if (auto self = weak.lock()) self->serviceDisconnected();
        }));
}

void KLTAppDelegate::launchScreenService() {
    auto path = deskgateServicePath();
    if (!path) {
        KLLog(kKLTLoggingLevelDebug, "DeskgateService not in app bundle.  Must run it manually");
        return;
    }
    deskgateServiceURL = *path;
    KLTLaunchServices::addAppAsLoginItem(*path, false, kDeskgateServiceName);
    // Copies of the screen service in other bundles stop starting at login; this one stays.
    deleteLoginItemsMatchingUTI(kDeskgateServiceName, *path);
    int status = options_.openApplication ? options_.openApplication(*path) : -1;
    KLLog(kKLTLoggingLevelDebug, "Launch Deskgate status:%d", status);
}

void KLTAppDelegate::applicationWillTerminate() {
    if (options_.servicesManager) options_.servicesManager->endReportingServicesAvailability();
    if (hasDaemonConnection()) cancelDaemonConnection();
}

void KLTAppDelegate::loadDefaults() {
    Preferences preferences(kAppIdentifier);
    preferences.registerDefaults(registeredDefaults());
    startAtLogin = preferences.boolean("startAtLogin").value_or(true);
    firstRun = preferences.boolean("firstRun").value_or(true);
    if (auto level = preferences.integer("loggingLevel"); level && *level >= INT32_MIN && *level <= INT32_MAX)
        setLoggingLevel(int32_t(*level));
}

void KLTAppDelegate::updateDefaults() {
    Preferences preferences(kAppIdentifier);
    preferences.setValue("startAtLogin", Value(startAtLogin));
    preferences.setValue("firstRun", Value(firstRun));
    if (!preferences.synchronize()) KLLog(kKLTLoggingLevelError, "Couldn't write the app's defaults");
}

void KLTAppDelegate::updateUserInterfaceWithDefaults() { changeStartAtLoginState(startAtLogin); }

void KLTAppDelegate::showUI() {
    const bool signedIn = registrarState() != 0;
    withLaunchViews([signedIn](auto& v) { v.showUI(signedIn); });
}

void KLTAppDelegate::servicesChanged() {
    bool running = false;
    if (options_.servicesManager)
        for (const auto& service : options_.servicesManager->availableServices())
            running = running || service.serviceName == kDeskgateServiceName;
    if (running) {
        KLLog(kKLTLoggingLevelInfo, "PWDServicesManager thinks that deskgate is running.");
        deskgateAvailable = true;
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "PWDServicesManager thinks that deskgate has STOPPED running.");
    deskgateAvailable = false;
    withLaunchViews([](auto& v) { v.changeStatusItemImage("statusmenu-icon"); });
    if (deskgateServiceURL && fileExists(*deskgateServiceURL)) {
        int status = options_.openApplication ? options_.openApplication(*deskgateServiceURL) : -1;
        KLLog(kKLTLoggingLevelDebug, "Relaunching Deskgate Service. %d", status);
    }
}

void KLTAppDelegate::serviceConnected() {
    withLaunchViews([](auto& v) { v.changeStatusItemImage("statusmenu-icon-connected"); });
    KLLog(kKLTLoggingLevelDebug, "Deskgate says we are connected.");
}

void KLTAppDelegate::serviceDisconnected() {
    withLaunchViews([](auto& v) { v.changeStatusItemImage("statusmenu-icon"); });
    KLLog(kKLTLoggingLevelDebug, "Deskgate says we have disconnected.");
}

void KLTAppDelegate::killOurServices() {
    auto table = KLTProcess::getCurrentProcesses();
    if (table && options_.servicesManager) {
        for (const auto& service : options_.servicesManager->runningServices()) {
            // Built-in services carry pid 0; a pid beyond pid_t would wrap to a group or to -1,
            // which kill(2) takes as every process the user may signal.
            if (service.pid == 0 || service.pid > uint64_t(INT_MAX)) continue;
            auto process = table->find(pid_t(service.pid));
            if (process == table->end() || !process->second.ownedByCurrentUser()) continue;
            if (process->second.terminate())
                KLLog(kKLTLoggingLevelInfo, "Stopped %s (%d)", service.serviceName.c_str(), int(process->first));
        }
    }
    if (deskgateServiceURL && options_.openApplication) options_.openApplication(*deskgateServiceURL);
}

void KLTAppDelegate::userChoseToMoveApplication(bool move) {
    if (move) killOurServices();
}

bool KLTAppDelegate::isInstallAndSetupDone() const {
    return daemonState() == ePWDaemonStateCheckedIn && (registrarState() == 1 || registrarState() == 2);
}

bool KLTAppDelegate::isSharingOn() const { return isInstallAndSetupDone() && sharingEnabled; }

bool KLTAppDelegate::needsUpgrade() { return daemonState() == ePWDaemonStateCheckedIn && daemonInstallNeed(); }

std::optional<std::string> KLTAppDelegate::deskgateServicePath() const {
    std::string path = (std::filesystem::path(options_.bundlePath) / "libexec" / kDeskgateServiceName).string();
    if (options_.bundlePath.empty() || !fileExists(path)) return std::nullopt;
    return path;
}

KLTBonjourBrowser& KLTAppDelegate::bonjourBrowser() {
    if (!bonjourBrowser_) {
        KLTBonjourBrowser::setBonjourServiceName(kBonjourServiceName);
        bonjourBrowser_ = KLTBonjourBrowser::createWithoutStartingService([](Task task) { mainLoop().post(std::move(task)); });
    }
    return *bonjourBrowser_;
}

}  // namespace kl

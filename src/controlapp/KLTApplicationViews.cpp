#include "controlapp/KLTApplicationViews.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <unistd.h>

#include <cstdlib>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTEmbeddedInfo.h"
#include "controlapp/KLTRelaunch.h"
#include "controlapp/desktop/KLTPortweaverUpdater.h"
#include "controlapp/desktop/KLTUpdateOffer.h"
#include "controlapp/desktop/PFMoveApplication.h"
#include "controlapp/ui/KLTAlreadyRunningWarningController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "foundation/KLTLogging.h"
#include "platform/CrashReporter.h"

namespace kl {

namespace {

constexpr const char* kAppIdentifier = "com.kelvaro.portweaver.controlapp";

// Without a screen there is nobody to answer a dialog.
bool someoneCanSee() { return QGuiApplication::platformName() != "offscreen"; }

// The updater's calls go to the app delegate.
class UpdaterLink final : public KLTPortweaverUpdaterDelegate {
public:
    UpdaterLink(std::weak_ptr<KLTAppDelegate> app, std::weak_ptr<KLTApplicationViews> views)
        : app_(std::move(app)), views_(std::move(views)) {}
    void updaterDidFindValidUpdate(const AppcastItem& item) override {
        if (auto app = app_.lock()) app->updaterDidFindValidUpdate(item.version);
        if (!someoneCanSee()) return;  // nobody to answer Install/Later
        offerUpdate(KLTPortweaverUpdater::sharedUpdater(), item, askToInstallUpdate, [views = views_] {
            if (auto v = views.lock()) v->relaunch();
        });
    }
    void updaterWillInstallUpdate(const AppcastItem& item) override {
        if (auto app = app_.lock()) app->updaterWillInstallUpdate(item.title + " " + item.version);
    }

private:
    std::weak_ptr<KLTAppDelegate> app_;
    std::weak_ptr<KLTApplicationViews> views_;
};

}  // namespace

KLTApplicationViews::KLTApplicationViews(std::string bundlePath) : bundle_(std::move(bundlePath)) {}

KLTApplicationViews::~KLTApplicationViews() = default;

void KLTApplicationViews::updateUIState() { KLTViewManager::sharedInstance().updateUIState(); }

void KLTApplicationViews::chooseAccountDetails() { KLTViewManager::sharedInstance().chooseAccountDetails(); }

void KLTApplicationViews::chooseSignInView() { KLTViewManager::sharedInstance().chooseSignInView(); }

bool KLTApplicationViews::mainWindowVisible() const { return KLTViewManager::sharedInstance().mainWindowVisible(); }

void KLTApplicationViews::terminate() { QCoreApplication::exit(0); }

void KLTApplicationViews::relaunch() {
    startRelaunchTool(bundle_, ::getpid());
    QCoreApplication::exit(0);
}

void KLTApplicationViews::credentialsRefused() {
    KLLog(kKLTLoggingLevelError, "Unable to run without credential");
    if (!someoneCanSee()) std::exit(1);
    QMessageBox alert(QMessageBox::Critical, QObject::tr("Unable to run without credential"),
                      QObject::tr("Unable to run without credential"));
    alert.setInformativeText(QObject::tr("Launch Port Weaver again and provide the requested credentials to continue."));
    alert.addButton(QObject::tr("Quit"), QMessageBox::AcceptRole);
    alert.exec();
    std::exit(1);
}

void KLTApplicationViews::startCrashReporting() {
    // Reports of earlier crashes are logged before this run's handlers can add another.
    auto crashes = CrashReporter::defaultFolder(kAppIdentifier);
    CrashReporter::logNewReports(crashes);
    auto version = toolVersion("/proc/self/exe");
    CrashReporter::install(kAppIdentifier, version && version->version ? *version->version : "unknown", crashes);
}

void KLTApplicationViews::showAlreadyRunningWarning(std::function<void()> quit) {
    if (!someoneCanSee()) {
        quit();
        return;
    }
    warning_ = std::make_unique<KLTAlreadyRunningWarningController>();
    warning_->showWindow([quit = std::move(quit)](bool) { quit(); });
}

void KLTApplicationViews::initializeUserInterface() {
    KLTViewManager::sharedInstance().initializeUserInterface();
    if (userInterfaceReady) userInterfaceReady();
}

void KLTApplicationViews::startUpdateCheck(std::weak_ptr<KLTAppDelegate> app) {
    updaterLink_ = std::make_shared<UpdaterLink>(std::move(app), weak_from_this());
    auto& updater = KLTPortweaverUpdater::sharedUpdater();
    updater.setDelegate(updaterLink_);
    if (updater.automaticallyChecksForUpdates()) updater.checkForUpdatesInBackground();
}

void KLTApplicationViews::moveToApplicationsFolderIfNecessary(std::weak_ptr<PFMoveApplicationDelegate> delegate) {
    if (!someoneCanSee()) return;  // the offer is a modal dialog
    PFMoveApplication mover(bundle_, kAppIdentifier);
    mover.delegate = std::move(delegate);
    mover.moveToApplicationsFolderIfNecessary();
}

void KLTApplicationViews::changeStatusItemImage(const std::string& imageName) {
    KLTViewManager::sharedInstance().changeStatusItemImage(imageName);
}

void KLTApplicationViews::showUI(bool accountDetails) {
    auto& viewManager = KLTViewManager::sharedInstance();
    if (accountDetails) viewManager.chooseAccountDetails();
    else viewManager.chooseSignInView();
    std::optional<QRect> anchor;
    if (QSystemTrayIcon* item = viewManager.statusItem(); item && !item->geometry().isEmpty()) anchor = item->geometry();
    viewManager.showMenuletWindowWithAnchor(anchor);
}

}  // namespace kl

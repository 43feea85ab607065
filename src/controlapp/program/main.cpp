// The control app: a Qt program whose main loop is the Qt event loop, linked with the daemon over
// the control socket.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>

#include <unistd.h>

#include <cstdlib>

#include <memory>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTEmbeddedInfo.h"
#include "controlapp/KLTRelaunch.h"
#include "controlapp/QtMainLoop.h"
#include "controlapp/desktop/KLTPortweaverUpdater.h"
#include "controlapp/desktop/KLTUpdateOffer.h"
#include "controlapp/desktop/PFMoveApplication.h"
#include "controlapp/ui/KLTAccountDetailsViewController.h"
#include "controlapp/ui/KLTAccountViewsLink.h"
#include "controlapp/ui/KLTAppDelegateLink.h"
#include "controlapp/ui/KLTCreateAccountViewController.h"
#include "controlapp/ui/KLTMainMenuController.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTSignInViewController.h"
#include "controlapp/ui/KLTSignOutWarningController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "foundation/KLTLogging.h"
#include "platform/CrashReporter.h"
#ifdef KL_UI_PROBE
#include "controlapp/uitest/KLTUIProbe.h"
#endif

namespace {

// The app delegate's view of the user interface: the view manager, and leaving the app.
class AppViews final : public kl::KLTAppDelegateViews {
public:
    explicit AppViews(std::string bundle) : bundle_(std::move(bundle)) {}
    void updateUIState() override { kl::KLTViewManager::sharedInstance().updateUIState(); }
    void chooseAccountDetails() override { kl::KLTViewManager::sharedInstance().chooseAccountDetails(); }
    void chooseSignInView() override { kl::KLTViewManager::sharedInstance().chooseSignInView(); }
    bool mainWindowVisible() const override { return kl::KLTViewManager::sharedInstance().mainWindowVisible(); }
    void terminate() override { QCoreApplication::exit(0); }
    void relaunch() override {
        kl::startRelaunchTool(bundle_, ::getpid());
        QCoreApplication::exit(0);
    }
    void credentialsRefused() override {
        KLLog(kKLTLoggingLevelError, "Unable to run without credential");
        // Without a screen there is nobody to read an alert.
        if (QGuiApplication::platformName() == "offscreen") std::exit(1);
        QMessageBox alert(QMessageBox::Critical, QObject::tr("Unable to run without credential"),
                          QObject::tr("Unable to run without credential"));
        alert.setInformativeText(
            QObject::tr("Launch Port Weaver again and provide the requested credentials to continue."));
        alert.addButton(QObject::tr("Quit"), QMessageBox::AcceptRole);
        alert.exec();
        std::exit(1);
    }

private:
    std::string bundle_;
};

// The updater's calls go to the app delegate.
class UpdaterLink final : public kl::KLTPortweaverUpdaterDelegate {
public:
    UpdaterLink(std::weak_ptr<kl::KLTAppDelegate> app, std::weak_ptr<AppViews> views)
        : app_(std::move(app)), views_(std::move(views)) {}
    void updaterDidFindValidUpdate(const kl::AppcastItem& item) override {
        if (auto app = app_.lock()) app->updaterDidFindValidUpdate(item.version);
        if (QGuiApplication::platformName() == "offscreen") return;  // nobody to answer Install/Later
        kl::offerUpdate(kl::KLTPortweaverUpdater::sharedUpdater(), item, kl::askToInstallUpdate, [views = views_] {
            if (auto v = views.lock()) v->relaunch();
        });
    }
    void updaterWillInstallUpdate(const kl::AppcastItem& item) override {
        if (auto app = app_.lock()) app->updaterWillInstallUpdate(item.title + " " + item.version);
    }

private:
    std::weak_ptr<kl::KLTAppDelegate> app_;
    std::weak_ptr<AppViews> views_;
};

}  // namespace

int main(int argc, char** argv) {
    kl::setLogSink(kl::LogSink::StandardError);
    {
        // Reports of earlier crashes are logged before this run's handlers can add another.
        const char* identifier = "com.kelvaro.portweaver.controlapp";
        auto crashes = kl::CrashReporter::defaultFolder(identifier);
        kl::CrashReporter::logNewReports(crashes);
        auto version = kl::toolVersion("/proc/self/exe");
        kl::CrashReporter::install(identifier, version && version->version ? *version->version : "unknown", crashes);
    }
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!kl::installMainLoop(std::make_unique<kl::QtMainLoop>())) return 1;

    kl::KLTAppDelegate::Options options;
    options.bundlePath = QDir(QCoreApplication::applicationDirPath() + "/..").canonicalPath().toStdString();
    const std::string bundlePath = options.bundlePath;
    auto views = std::make_shared<AppViews>(options.bundlePath);
    options.servicesManager = kl::PWServicesManager::sharedManager();
    options.views = views;
    auto app = kl::KLTAppDelegate::create(std::move(options));
    auto& viewManager = kl::KLTViewManager::sharedInstance();
    viewManager.setAppLink(std::make_shared<kl::KLTAppDelegateLink>(app));
    auto viewsLink = kl::makeAccountViewsLink(app);
    auto signIn = std::make_shared<kl::KLTSignInViewController>(viewsLink);
    viewManager.setViewControllerMakers({
        .signIn = [signIn] { return signIn; },
        .createAccount =
            [viewsLink, signIn] {
                auto create = std::make_shared<kl::KLTCreateAccountViewController>(viewsLink);
                create->setEmailAddressSuggestion(signIn->accountEmailAddress()->text().toStdString());
                return create;
            },
        .accountDetails =
            [viewsLink, services = kl::PWServicesManager::sharedManager()] {
                return std::make_shared<kl::KLTAccountDetailsViewController>(viewsLink, services);
            },
        .emailVerification = [] { return std::make_shared<kl::KLTEmailVerificationViewController>(); },
        .successLogin = [] { return std::make_shared<kl::KLTSuccessLoginViewController>(); },
    });
    // The tools menu's sign-out asks with the same warning, as a sheet on the menulet window.
    viewManager.signOutWarning = [&viewManager](std::function<void(bool)> handler) {
        static std::unique_ptr<kl::KLTSignOutWarningController> warning;
        warning = std::make_unique<kl::KLTSignOutWarningController>(viewManager.menuletWindowController().window());
        warning->showSheet(std::move(handler));
    };
    viewManager.initializeUserInterface();
    kl::installToolsMenu(viewManager, app);
#ifdef KL_UI_PROBE
    kl::KLTUIProbe probe;
    if (const char* probePath = std::getenv("KL_UI_PROBE"); probePath && *probePath) probe.listen(probePath);
#endif
    // The move offer is a modal dialog: only where someone can see it.
    if (QGuiApplication::platformName() != "offscreen")
        kl::PFMoveApplication(bundlePath, "com.kelvaro.portweaver.controlapp").moveToApplicationsFolderIfNecessary();
    app->setupDaemon();
    auto updaterLink = std::make_shared<UpdaterLink>(app, views);
    auto& updater = kl::KLTPortweaverUpdater::sharedUpdater();
    updater.setDelegate(updaterLink);
    if (updater.automaticallyChecksForUpdates()) updater.checkForUpdatesInBackground();

    kl::mainLoop().run();
    app->cancelDaemonConnection();
    return 0;
}

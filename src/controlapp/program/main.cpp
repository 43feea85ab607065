// The control app: a Qt program whose main loop is the Qt event loop. It makes the app delegate
// and its views and hands the start-up to the delegate.
#include <QApplication>
#include <QDir>
#include <QLineEdit>

#include <cstdlib>

#include <memory>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTApplicationViews.h"
#include "controlapp/QtMainLoop.h"
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
#include "foundation/KLTButler.h"
#include "foundation/KLTLogging.h"
#ifdef KL_UI_PROBE
#include "controlapp/uitest/KLTUIProbe.h"
#endif

int main(int argc, char** argv) {
    kl::setLogSink(kl::LogSink::StandardError);
    // Before the host-item archive, which lives under the bundle identifier, is read.
    kl::KLTButler::setMainBundleIdentifier("com.kelvaro.portweaver.controlapp");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!kl::installMainLoop(std::make_unique<kl::QtMainLoop>())) return 1;

    const std::string bundlePath =
        QDir(QCoreApplication::applicationDirPath() + "/..").canonicalPath().toStdString();
    auto views = std::make_shared<kl::KLTApplicationViews>(bundlePath);
    kl::KLTAppDelegate::Options options;
    options.bundlePath = bundlePath;
    options.servicesManager = kl::PWServicesManager::sharedManager();
    options.views = views;
    options.launchViews = views;
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
    // The tools menu: installed here, once the view manager is set up.
    kl::installToolsMenu(viewManager, app);
#ifdef KL_UI_PROBE
    kl::KLTUIProbe probe;
    views->userInterfaceReady = [&probe] {
        if (const char* probePath = std::getenv("KL_UI_PROBE"); probePath && *probePath) probe.listen(probePath);
    };
    kl::KLTUIProbe::setStartAtLogin([weak = std::weak_ptr(app)](bool on) {
        if (auto delegate = weak.lock()) delegate->changeStartAtLoginState(on);
    });
#endif
    app->applicationDidFinishLaunching();
    kl::mainLoop().run();
    app->applicationWillTerminate();
    return 0;
}

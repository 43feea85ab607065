// The tools menu's links to the app delegate, the view manager and the updater.
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include <filesystem>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTPortweaverUpdater.h"
#include "controlapp/ui/KLTMainMenuController.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewManager.h"
#include "foundation/KLTLogging.h"
#include "platform/Preferences.h"

namespace kl {

namespace {

std::filesystem::path runningBundle() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path();
}

void tellUninstallRefused() {
    auto* alert = outlet(new QMessageBox(QMessageBox::Warning, QObject::tr("Uninstall Port Weaver"),
                                         QObject::tr("Port Weaver could not be uninstalled.")),
                         "uninstallRefusedAlert");
    alert->setInformativeText(QObject::tr("Only an administrator can remove Port Weaver from this computer. "
                                          "Nothing was removed."));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->open();
}

}  // namespace

void installToolsMenu(KLTViewManager& viewManager, std::shared_ptr<KLTAppDelegate> app) {
    auto& menu = KLTMainMenuController::sharedInstance();
    std::weak_ptr<KLTAppDelegate> weak = app;
    menu.setActions({
        .changeStartAtLoginState = [weak](bool start) { if (auto a = weak.lock()) a->changeStartAtLoginState(start); },
        .uninstall = [weak] { if (auto a = weak.lock()) a->uninstall(); },
        .checkForUpdates =
            [] {
                KLTPortweaverUpdater::sharedUpdater().checkForUpdatesInBackground([](Result<bool> found) {
                    if (found.ok() && !*found) KLLog(kKLTLoggingLevelInfo, "No update available");
                });
            },
        .showAccountViaWeb = [&viewManager] { viewManager.showAccountViaWeb(); },
        .openURL = [](const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); },
        .makeAboutPanel =
            [weak] {
                return std::make_unique<KLTAboutPanelController>(
                    KLTAboutPanelController::Options{runningBundle(), weak, PWServicesManager::sharedManager(), {}});
            },
    });
    viewManager.toolsMenuPresenter = [](QWidget* view, const QPoint& location) {
        KLTMainMenuController::sharedInstance().presentToolsMenuAtLocation(location, view);
    };
    // Until the app delegate changes it, the check mark shows the stored setting (on by default).
    menu.updateStartAtLoginState(
        Preferences("com.kelvaro.portweaver.controlapp").boolean("startAtLogin").value_or(true));
    if (!app) return;
    app->startAtLoginChanged.connect(
        [](bool start) { KLTMainMenuController::sharedInstance().updateStartAtLoginState(start); });
    app->uninstallRefused.connect(tellUninstallRefused);
}

}  // namespace kl

// The view manager's actions on a host and on the account.
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QUrl>

#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTPopover.h"
#include "controlapp/ui/KLTSettingsWindowController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/PWConstants.h"
#include "daemon/model/KLTHostItem.h"
#include "foundation/KLTLogging.h"

namespace kl {

namespace {

// A page opened through xdg-open must be a URL with a scheme, so that nothing from the daemon
// can pass for one of its options.
bool isOpenableURL(const std::string& text) {
    QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    return url.isValid() && !url.scheme().isEmpty() && !text.empty() && text[0] != '-';
}

QPushButton* alertButton(QMessageBox& alert, const QString& title, QMessageBox::ButtonRole role) {
    auto* button = alert.addButton(title, role);
    button->setObjectName(title);
    button->setAccessibleName(title);
    return button;
}

}  // namespace

void KLTViewManager::connectWithHostItem(const KLTHostItem& host) {
    link_->connectWithUUID(host.hostUUID().value_or(""));
}

void KLTViewManager::disconnectWithHostItem(const KLTHostItem& host) {
    link_->disconnectWithUUID(host.hostUUID().value_or(""));
}

void KLTViewManager::launchFileSharingServiceForHostItem(const KLTHostItem& host) {
    launchService("_afpovertcp._tcp", host);
}
void KLTViewManager::launchMusicServiceForHostItem(const KLTHostItem& host) {
    launchService("_daap._tcp", host);
}
void KLTViewManager::launchScreenSharingServiceForHostItem(const KLTHostItem& host) {
    launchService("_rfb._tcp", host);
}
void KLTViewManager::launchTerminalServiceForHostItem(const KLTHostItem& host) {
    launchService("_ssh._tcp", host);
}

void KLTViewManager::launchService(const std::string& serviceType, const KLTHostItem& host) {
    // Shared folders and shared music are browsed by this machine's own programs: the file
    // manager, and the music folder's handler.
    if (serviceType == "_smb._tcp") {
        launch({"xdg-open", QDir::homePath().toStdString()});
        return;
    }
    if (serviceType == "_daap._tcp") {
        launch({"xdg-open", QStandardPaths::writableLocation(QStandardPaths::MusicLocation).toStdString()});
        return;
    }
    const std::string username = serviceType == "_ssh._tcp" ? host.sshUsername().value_or("") : std::string();
    link_->URLForUUID(host.hostUUID().value_or(""), serviceType, username, [](std::string url) {
        KLLog(kKLTLoggingLevelInfo, "Opening URL: \"%s\" in workspace", url.c_str());
        if (isOpenableURL(url)) sharedInstance().launch({"xdg-open", url});
    });
}

void KLTViewManager::logoutAndDeleteHostItem(const std::shared_ptr<KLTHostItem>& host) {
    if (!host) return;
    const QString name = QString::fromStdString(host->hostName().value_or(""));
    auto* alert = new QMessageBox(menuletWindowController().window());
    outlet(alert, "removeHostAlert");
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->setText(QObject::tr("Remove host"));
    alert->setInformativeText(QObject::tr("\"%1\" will no longer be accessible to Port Weaver.  You can log back in "
                                          "to Port Weaver using \"%2\" to restore access.")
                                  .arg(name, name));
    QPushButton* remove = alertButton(*alert, QObject::tr("Remove"), QMessageBox::AcceptRole);
    alertButton(*alert, QObject::tr("Cancel"), QMessageBox::RejectRole);
    alert->setDefaultButton(remove);
    const std::string hostID = host->hostID().value_or("");
    QObject::connect(alert, &QMessageBox::buttonClicked, alert, [this, remove, hostID](QAbstractButton* clicked) {
        // The first button answers 1000, the second 1001.
        const long returnCode = clicked == remove ? 1000 : 1001;
        KLLog(kKLTLoggingLevelInfo, "returnCode: %ld      %d %d %d", returnCode, 1000, 1001, 1002);
        if (returnCode == 1000) link_->deleteHostWithID(hostID);
    });
    alert->open();
}

void KLTViewManager::signOut() {
    if (link_->registrarState() == 0) {
        chooseSignInView();
        return;
    }
    auto handler = [this](bool confirmed) {
        if (!confirmed) return;
        link_->signoutRequest();
        if (statusItemPopover_ && statusItemPopover_->isShown()) chooseSignInView();
    };
    if (signOutWarning) {
        signOutWarning(handler);
        return;
    }
    auto* alert = new QMessageBox(menuletWindowController().window());
    outlet(alert, "signOutWarning");
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setText(QObject::tr("Sign out of Port Weaver?"));
    QPushButton* confirm = alertButton(*alert, QObject::tr("Sign Out"), QMessageBox::AcceptRole);
    alertButton(*alert, QObject::tr("Cancel"), QMessageBox::RejectRole);
    QObject::connect(alert, &QMessageBox::buttonClicked, alert,
                     [handler, confirm](QAbstractButton* clicked) { handler(clicked == confirm); });
    alert->open();
}

void KLTViewManager::presentToolsMenuAtLocation(const QPoint& location) {
    auto& controller = menuletWindowController();
    if (toolsMenuPresenter)
        toolsMenuPresenter(controller.dynamicView(), controller.dynamicView()->mapFrom(controller.window(), location));
}

void KLTViewManager::helpAction() { launch({"xdg-open", kKLTHelpPageURL}); }

void KLTViewManager::showAccountViaWeb() {
    const std::string url = PWConstants::accountDetailsURL();
    if (isOpenableURL(url)) launch({"xdg-open", url});
}

void KLTViewManager::checkForUpdatesNow() { link_->checkForUpdates(); }

void KLTViewManager::presentSettingsWindow() {
    if (!settingsWindowController_) settingsWindowController_ = std::make_unique<KLTSettingsWindowController>();
    settingsWindowController_->showWindow();
}

std::shared_ptr<KLTPopover> KLTViewManager::statusItemPopover() {
    if (!statusItemPopover_) statusItemPopover_ = KLTPopover::create();
    return statusItemPopover_;
}

void KLTViewManager::showPopoverWithViewController(std::shared_ptr<KLTViewController> controller) {
    auto popover = statusItemPopover();
    popover->setContentViewController(std::move(controller));
    if (popover->isShown()) return;
    QRect anchor = statusItem_ ? statusItem_->geometry() : QRect();
    popover->showRelativeToRect(anchor);
}

void KLTViewManager::hidePopover() {
    if (statusItemPopover_ && statusItemPopover_->isShown()) statusItemPopover_->close();
}

}  // namespace kl

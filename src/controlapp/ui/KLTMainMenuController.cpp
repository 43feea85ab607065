#include "controlapp/ui/KLTMainMenuController.h"

#include <QAction>
#include <QMenu>

namespace kl {

namespace {

QAction* menuItem(QMenu* menu, const QString& title, const char* name) {
    // The name is what tests and the UI probe choose the item by.
    QAction* item = menu->addAction(title);
    item->setObjectName(QString::fromLatin1(name));
    return item;
}

}  // namespace

KLTMainMenuController& KLTMainMenuController::sharedInstance() {
    // Never destroyed: its menu must not outlive the application object at exit.
    static auto* instance = new KLTMainMenuController;
    return *instance;
}

KLTMainMenuController::KLTMainMenuController() {
    statusItemMenu_ = new QMenu;
    statusItemMenu_->setObjectName("statusItemMenu");
    statusItemMenu_->setAccessibleName("statusItemMenu");
    auto connect = [this](QAction* item, void (KLTMainMenuController::*action)(QObject*)) {
        QObject::connect(item, &QAction::triggered, statusItemMenu_, [this, item, action] { (this->*action)(item); });
    };
    connect(menuItem(statusItemMenu_, QObject::tr("About Port Weaver"), "aboutMenuItem"), &KLTMainMenuController::about);
    connect(menuItem(statusItemMenu_, QObject::tr("Port Weaver News"), "newsMenuItem"),
            &KLTMainMenuController::kelvaroNewsAction);
    connect(menuItem(statusItemMenu_, QObject::tr("My Account…"), "accountMenuItem"),
            &KLTMainMenuController::showAccountViaWeb);
    statusItemMenu_->addSeparator();
    startAtLoginMenuItem_ = menuItem(statusItemMenu_, QObject::tr("Start at Login"), "startAtLoginMenuItem");
    startAtLoginMenuItem_->setCheckable(true);
    QObject::connect(startAtLoginMenuItem_, &QAction::triggered, statusItemMenu_, [this] {
        // Qt has already flipped the check mark; the action decides from the state the user saw.
        startAtLoginMenuItem_->setChecked(!startAtLoginMenuItem_->isChecked());
        startAtLoginAction(startAtLoginMenuItem_);
    });
    connect(menuItem(statusItemMenu_, QObject::tr("Check for Updates…"), "checkForUpdatesMenuItem"),
            &KLTMainMenuController::checkForUpdates);
    statusItemMenu_->addSeparator();
    connect(menuItem(statusItemMenu_, QObject::tr("Uninstall Port Weaver…"), "uninstallMenuItem"),
            &KLTMainMenuController::uninstallPortweaver);
}

void KLTMainMenuController::presentToolsMenuAtLocation(const QPoint& location, QWidget* view) {
    const QPoint global = view ? view->mapToGlobal(location) : location;
    statusItemMenu_->popup(global);
}

void KLTMainMenuController::updateStartAtLoginState(bool start) {
    if (startAtLoginMenuItem_) startAtLoginMenuItem_->setChecked(start);
}

void KLTMainMenuController::about(QObject*) {
    if (!aboutPanelController_) {
        if (!actions_.makeAboutPanel) return;
        aboutPanelController_ = actions_.makeAboutPanel();
        if (!aboutPanelController_) return;
    }
    aboutPanelController_->showWindow([this](bool) { aboutPanelController_.reset(); });
}

void KLTMainMenuController::kelvaroNewsAction(QObject*) {
    if (actions_.openURL) actions_.openURL(kKLTNewsPageURL);
}

void KLTMainMenuController::showAccountViaWeb(QObject*) {
    if (actions_.showAccountViaWeb) actions_.showAccountViaWeb();
}

void KLTMainMenuController::startAtLoginAction(QObject* sender) {
    auto* item = qobject_cast<QAction*>(sender);
    if (!item) return;
    const bool wasOn = item->isChecked();
    if (actions_.changeStartAtLoginState) actions_.changeStartAtLoginState(!wasOn);
    item->setChecked(!wasOn);
}

void KLTMainMenuController::uninstallPortweaver(QObject*) {
    if (!uninstallWindowController_) uninstallWindowController_ = std::make_unique<KLTUninstallController>();
    uninstallWindowController_->showWindow([this](bool uninstall) {
        if (uninstall && actions_.uninstall) actions_.uninstall();
        if (uninstallWindowController_) uninstallWindowController_->close();
        uninstallWindowController_.reset();
    });
}

void KLTMainMenuController::checkForUpdates(QObject*) {
    if (actions_.checkForUpdates) actions_.checkForUpdates();
}

}  // namespace kl

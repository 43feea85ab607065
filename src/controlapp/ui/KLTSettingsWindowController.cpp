#include "controlapp/ui/KLTSettingsWindowController.h"

#include <QActionGroup>
#include <QLabel>
#include <QMainWindow>
#include <QToolBar>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTSettingsWindowController::KLTSettingsWindowController() : window_(std::make_unique<QMainWindow>()) {
    outlet(window_.get(), "KLTSettingsWindowController");
    window_->setWindowTitle(QObject::tr("Settings"));
    toolbar_ = outlet(new QToolBar, "toolbar");
    toolbar_->setMovable(false);
    window_->addToolBar(toolbar_);
    tabs_ = new QActionGroup(toolbar_);
    tabs_->setExclusive(true);
    for (const char* identifier : {"Account"}) {
        QAction* item = toolbar_->addAction(QObject::tr(identifier));
        item->setObjectName(QString::fromLatin1(identifier));
        item->setCheckable(true);
        tabs_->addAction(item);
        QObject::connect(item, &QAction::triggered, toolbar_, [this, item] { tabBarItemPressed(item); });
    }
    window_->setCentralWidget(outlet(new QLabel, "settingsContent"));
    windowDidLoad();
}

KLTSettingsWindowController::~KLTSettingsWindowController() = default;

void KLTSettingsWindowController::windowDidLoad() { setSelectedItemIdentifier("Account"); }

void KLTSettingsWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void KLTSettingsWindowController::setSelectedItemIdentifier(const std::string& identifier) {
    selected_ = identifier;
    for (QAction* item : tabs_->actions()) item->setChecked(item->objectName().toStdString() == identifier);
}

std::vector<std::string> KLTSettingsWindowController::toolbarSelectableItemIdentifiers() const {
    std::vector<std::string> identifiers;
    for (QAction* item : tabs_->actions()) identifiers.push_back(item->objectName().toStdString());
    return identifiers;
}

void KLTSettingsWindowController::tabBarItemPressed(QAction* item) {
    if (item) setSelectedItemIdentifier(item->objectName().toStdString());
}

}  // namespace kl

// The tools menu that pops up from the settings button of the menulet window's status bar: About,
// the news page, the account page, start at login, update check and uninstall. One per process;
// at most one About window and one uninstall confirmation at a time.
//
// GUI thread only. What the actions do outside the menu comes in through Actions, which
// installToolsMenu fills from the app delegate.
#pragma once

#include <QPoint>

#include <functional>
#include <memory>
#include <string>

#include "controlapp/ui/KLTAboutPanelController.h"
#include "controlapp/ui/KLTUninstallController.h"

class QAction;
class QMenu;
class QObject;
class QWidget;

namespace kl {

class KLTAppDelegate;
class KLTViewManager;

inline constexpr const char* kKLTNewsPageURL = "https://www.kelvaro.com/blog";

class KLTMainMenuController {
public:
    struct Actions {
        std::function<void(bool start)> changeStartAtLoginState;
        std::function<void()> uninstall;
        std::function<void()> checkForUpdates;
        std::function<void()> showAccountViaWeb;
        std::function<void(const std::string& url)> openURL;
        std::function<std::unique_ptr<KLTAboutPanelController>()> makeAboutPanel;
    };

    static KLTMainMenuController& sharedInstance();
    KLTMainMenuController(const KLTMainMenuController&) = delete;
    KLTMainMenuController& operator=(const KLTMainMenuController&) = delete;

    void setActions(Actions actions) { actions_ = std::move(actions); }

    // Pops the menu up at location, in view's coordinates, with no item pre-selected.
    void presentToolsMenuAtLocation(const QPoint& location, QWidget* view);
    // The start-at-login item's check mark.
    void updateStartAtLoginState(bool start);

    // Menu actions; sender is the menu item that was chosen.
    void about(QObject* sender);
    void kelvaroNewsAction(QObject* sender);
    void showAccountViaWeb(QObject* sender);
    // Only a menu item toggles the setting: it says what the current setting is.
    void startAtLoginAction(QObject* sender);
    void uninstallPortweaver(QObject* sender);
    void checkForUpdates(QObject* sender);

    QMenu* statusItemMenu() const { return statusItemMenu_; }
    QAction* startAtLoginMenuItem() const { return startAtLoginMenuItem_; }
    KLTAboutPanelController* aboutPanelController() const { return aboutPanelController_.get(); }
    KLTUninstallController* uninstallWindowController() const { return uninstallWindowController_.get(); }

private:
    KLTMainMenuController();

    Actions actions_;
    QMenu* statusItemMenu_ = nullptr;
    QAction* startAtLoginMenuItem_ = nullptr;
    std::unique_ptr<KLTAboutPanelController> aboutPanelController_;
    std::unique_ptr<KLTUninstallController> uninstallWindowController_;
};

// Makes the tools menu the view manager's and links its actions (and the start-at-login check
// mark) to the app delegate.
void installToolsMenu(KLTViewManager& viewManager, std::shared_ptr<KLTAppDelegate> app);

}  // namespace kl

// The one owner of the control app's visible surface: the tray icon, the menulet window under it,
// which view controller fills that window, the status icon image, the status bar's entries, and
// the actions the host rows and account views trigger on a host or on the account. It reaches
// the daemon only through its app link.
//
// Created on first use and never destroyed. Main thread only, except updateUIState, which may be
// called from any thread and always does its work later on the main loop.
#pragma once

#include <QPoint>
#include <QRect>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controlapp/ui/KLTStatusBarView.h"
#include "controlapp/ui/KLTViewController.h"
#include "controlapp/ui/KLTViewManagerAppLink.h"

class QSystemTrayIcon;
class QWidget;

namespace kl {

class KLTHostItem;
class KLTMenuletWindowController;
class KLTPopover;
class KLTSettingsWindowController;

// The status icon's states: 0 normal, 1 connected, 2 disabled, 3 error.
using KLTStatusItemState = int32_t;
// The image shown for a state; any unknown state shows the normal icon.
const char* KLTStatusItemImageName(KLTStatusItemState state);

inline constexpr const char* kKLTHelpPageURL = "https://www.kelvaro.com/portweaverhelp";

class KLTViewManager final : public KLTViewManagerMinion, public KLTStatusBarViewProtocol {
public:
    static KLTViewManager& sharedInstance();
    ~KLTViewManager() override;  // never runs: the instance lives as long as the process

    // The controllers for the sign-in states. Each default is a placeholder view; the sign-in,
    // account and verification views plug their own makers in here.
    struct ViewControllerMakers {
        std::function<std::shared_ptr<KLTViewController>()> signIn, createAccount, accountDetails,
            emailVerification, successLogin;
    };
    void setViewControllerMakers(ViewControllerMakers makers);
    void setAppLink(std::shared_ptr<KLTViewManagerAppLink> link) { link_ = std::move(link); }
    // Starts a program by its argument list (xdg-open for pages and services); tests record it.
    void setLauncher(std::function<void(const std::vector<std::string>&)> launcher) { launcher_ = std::move(launcher); }
    // Pops up the tools menu at a point of the dynamic view; none until the menu exists.
    std::function<void(QWidget* dynamicView, const QPoint& location)> toolsMenuPresenter;
    // Asks the user to confirm signing out and answers the handler; the default is a plain alert.
    std::function<void(std::function<void(bool)> handler)> signOutWarning;

    // Called by the app delegate.
    void initializeUserInterface();
    void updateUIState() override;
    void chooseSignInView();
    void chooseAccountDetails();
    bool mainWindowVisible() const;
    void applicationWillResignActive();
    void changeStatusItemImage(const std::string& imageName);

    // Called by the view controllers, rows and the status bar.
    void chooseCreateAccountView();
    void chooseEmailVerificationView();
    void chooseSuccessLogin();
    void chooseStateAppropriateViewController();
    void chooseViewController(std::shared_ptr<KLTViewController> controller);
    void connectWithHostItem(const KLTHostItem& host);
    void disconnectWithHostItem(const KLTHostItem& host);
    void launchFileSharingServiceForHostItem(const KLTHostItem& host);
    void launchMusicServiceForHostItem(const KLTHostItem& host);
    void launchScreenSharingServiceForHostItem(const KLTHostItem& host);
    void launchTerminalServiceForHostItem(const KLTHostItem& host);
    void launchService(const std::string& serviceType, const KLTHostItem& host);
    void logoutAndDeleteHostItem(const std::shared_ptr<KLTHostItem>& host);
    void presentToolsMenuAtLocation(const QPoint& location) override;
    void helpAction() override;
    void showAccountViaWeb();

    // Actions of the windows.
    void statusItemPressed();
    void signOut();
    void checkForUpdatesNow();
    void presentSettingsWindow();
    void showPopoverWithViewController(std::shared_ptr<KLTViewController> controller);
    void hidePopover();
    std::shared_ptr<KLTPopover> statusItemPopover();

    // The tray icon's click; anchor: the icon's geometry, when known.
    void menuletClicked(const std::optional<QRect>& anchor);
    void showMenuletWindowWithAnchor(const std::optional<QRect>& anchor);
    void hideMenuletWindow();
    void placeWindow(QWidget* window, const QRect& anchor);
    void updateStatusBarView();

    bool menuletDisplayed() const { return menuletDisplayed_; }
    KLTStatusItemState currentStatusItemState() const { return currentStatusItemState_; }
    void setStatusItemState(KLTStatusItemState state);
    const std::string& statusItemImageName() const { return statusItemImageName_; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    const std::shared_ptr<KLTViewController>& visibleViewController() const { return visibleViewController_; }
    KLTMenuletWindowController& menuletWindowController();
    KLTSettingsWindowController* settingsWindowController() const { return settingsWindowController_.get(); }

private:
    KLTViewManager();
    void initializeStatusItem();
    void launch(const std::vector<std::string>& argv);
    std::shared_ptr<KLTViewController> make(const std::function<std::shared_ptr<KLTViewController>()>& maker,
                                            const char* name, const char* title);

    std::shared_ptr<KLTViewManagerAppLink> link_;
    std::function<void(const std::vector<std::string>&)> launcher_;
    ViewControllerMakers makers_;
    bool menuletDisplayed_ = false;
    bool observingApplicationState_ = false;
    KLTStatusItemState currentStatusItemState_ = 0;
    std::string statusItemImageName_;
    QSystemTrayIcon* statusItem_ = nullptr;
    std::unique_ptr<KLTMenuletWindowController> menuletWindowController_;
    std::shared_ptr<KLTPopover> statusItemPopover_;
    std::unique_ptr<KLTSettingsWindowController> settingsWindowController_;
    std::shared_ptr<KLTViewController> visibleViewController_;
    std::shared_ptr<KLTViewController> signIn_, createAccount_, accountDetails_;
};

}  // namespace kl

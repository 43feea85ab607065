// The view of a signed-in user: the account's e-mail address, the host list, and the account's
// buttons (details page, help, Log Out). The host list follows the services manager's host items.
//
// The host items change on the IPC queue; the list is rebuilt on the main loop from a copy taken
// under the services manager's lock.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "controlapp/ui/KLTAccountOutlineView.h"
#include "controlapp/ui/KLTViewController.h"
#include "platform/Signal.h"
#include "platform/Value.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kl {

class KLTAccountViewsLink;
class KLTSignOutWarningController;
class PWServicesManager;

class KLTAccountDetailsViewController final : public KLTViewController,
                                              public KLTViewManagerMinion,
                                              public KLTWindowSwitching {
public:
    KLTAccountDetailsViewController(std::shared_ptr<KLTAccountViewsLink> link,
                                    std::shared_ptr<PWServicesManager> services);
    ~KLTAccountDetailsViewController() override;

    void updateUIState() override;
    void updateUsernameButtonWithCurrentAddress();
    void windowDidBecomeKey() override;
    void viewControllerWasRemovedFromWindowController(KLTWindowSwitchingViewController*) override;
    void takeAccountDetailsButton();
    void takeSignOutButton();
    void takeHelpButton();
    void takeAXWarningTextButton();
    void removeHostWithHostDictionary(const std::optional<Value>& record);
    // Rebuilds the host list from the services manager's items.
    void reloadHosts();

    std::function<bool()> accessibilityEnabled;

    QPushButton* usernameButton() { return (void)view(), username_; }
    KLTAccountOutlineView* hostsOutlineView() { return (void)view(), outline_; }
    QProgressBar* busySpinner() { return (void)view(), spinner_; }
    QPushButton* axWarningTextButton() { return (void)view(), axText_; }
    KLTSignOutWarningController* signOutWarning() const { return signOutWarning_.get(); }

protected:
    QWidget* loadView() override;

private:
    std::shared_ptr<KLTAccountViewsLink> link_;
    std::shared_ptr<PWServicesManager> services_;
    std::optional<Signal<>::Id> hostsObservation_;
    std::unique_ptr<KLTSignOutWarningController> signOutWarning_;
    QPushButton *username_ = nullptr, *accountDetails_ = nullptr, *signOut_ = nullptr, *help_ = nullptr,
                *axText_ = nullptr;
    KLTAccountOutlineView* outline_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QLabel* axImage_ = nullptr;
};

// A signed-in confirmation whose OK leads to the account view.
class KLTSuccessLoginViewController final : public KLTViewController, public KLTViewManagerMinion {
public:
    KLTSuccessLoginViewController() : KLTViewController("SuccessLogin") {}
    void updateUIState() override {}
    void takeOKButton();

protected:
    QWidget* loadView() override;
};

}  // namespace kl

// The view of a user who is not signed in: e-mail and password, Log In, the way to create an
// account or reset the password, and the warning shown while input cannot be injected.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "controlapp/ui/KLTViewController.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace kl {

class KLTAccountViewsLink;

class KLTSignInViewController final : public KLTViewController,
                                      public KLTViewManagerMinion,
                                      public KLTWindowSwitching {
public:
    explicit KLTSignInViewController(std::shared_ptr<KLTAccountViewsLink> link);

    void updateUIState() override {}
    void windowDidBecomeKey() override;
    void viewControllerWasAddedToWindowController(KLTWindowSwitchingViewController*) override;
    void textFieldDidChange();
    void takeSignInButton();
    void takeCreateAccountButton();
    void takeForgotPasswordButton();
    void takeAXWarningTextButton();
    // Shows an alert; tests replace it to read what would be shown.
    std::function<void(const std::string& message, const std::string& info)> showAlertWithMessage;
    // Whether input can be injected; default AXAPIEnabled.
    std::function<bool()> accessibilityEnabled;

    QLineEdit* accountEmailAddress() { return (void)view(), email_; }
    QLineEdit* accountPassword() { return (void)view(), password_; }
    QPushButton* signInButton() { return (void)view(), signIn_; }
    QProgressBar* busySpinner() { return (void)view(), spinner_; }
    QPushButton* axWarningTextButton() { return (void)view(), axText_; }
    QLabel* axWarningImage() { return (void)view(), axImage_; }

protected:
    QWidget* loadView() override;

private:
    std::shared_ptr<KLTAccountViewsLink> link_;
    QLineEdit *email_ = nullptr, *password_ = nullptr;
    QPushButton *signIn_ = nullptr, *createAccount_ = nullptr, *forgotPassword_ = nullptr, *axText_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QLabel *axImage_ = nullptr, *emailLabel_ = nullptr, *largeAppIcon_ = nullptr;
};

// Shows or hides an accessibility warning (image and text button) by the platform's answer.
void showAccessibilityWarning(QWidget* image, QWidget* textButton, bool accessibilityEnabled);

}  // namespace kl

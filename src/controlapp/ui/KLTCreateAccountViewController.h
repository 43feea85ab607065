// The view in which a new user creates an account: e-mail address and a password entered twice,
// with the account server's complaints shown beside the fields.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controlapp/ui/KLTViewController.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace kl {

class KLTAccountViewsLink;

class KLTCreateAccountViewController final : public KLTViewController, public KLTViewManagerMinion {
public:
    using Errors = std::map<std::string, std::vector<std::string>>;
    explicit KLTCreateAccountViewController(std::shared_ptr<KLTAccountViewsLink> link);

    void updateUIState() override;
    void textFieldDidChange();
    void takeOK();
    void takeCancel();
    void showError(const std::optional<std::string>& text);
    void showErrorImageForError(int error);
    void showErrorFromDictionary(const std::optional<Errors>& errors);
    // The e-mail address the sign-in view hands over.
    void setEmailAddressSuggestion(std::string suggestion);
    // Called with true after a successful creation.
    std::function<void(bool)> handlerBlock;

    QLineEdit* emailField() { return (void)view(), email_; }
    QLineEdit* passwordField() { return (void)view(), password_; }
    QLineEdit* passwordVerifyField() { return (void)view(), verify_; }
    QPushButton* okButton() { return (void)view(), ok_; }
    QLabel* errorLabel() { return (void)view(), error_; }
    QLabel* emailErrorImage() { return (void)view(), emailImage_; }
    QLabel* passwordErrorImage() { return (void)view(), passwordImage_; }
    QLabel* passwordVerifyErrorImage() { return (void)view(), verifyImage_; }

protected:
    QWidget* loadView() override;

private:
    std::shared_ptr<KLTAccountViewsLink> link_;
    std::string suggestion_;
    QLineEdit *email_ = nullptr, *password_ = nullptr, *verify_ = nullptr;
    QPushButton *ok_ = nullptr, *cancel_ = nullptr;
    QLabel *error_ = nullptr, *emailImage_ = nullptr, *passwordImage_ = nullptr, *verifyImage_ = nullptr;
    QProgressBar* waiting_ = nullptr;
};

// Shown after an account was created: asks the user to verify the address; OK leads to sign-in.
class KLTEmailVerificationViewController final : public KLTViewController, public KLTViewManagerMinion {
public:
    KLTEmailVerificationViewController() : KLTViewController("EmailVerificationSent") {}
    void updateUIState() override {}
    void takeOKButton();

protected:
    QWidget* loadView() override;
};

}  // namespace kl

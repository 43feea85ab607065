#include "controlapp/ui/KLTSignInViewController.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "controlapp/ui/KLTAccountViewsLink.h"
#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewAlpha.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/PWConstants.h"
#include "platform/x11/AXAPIEnabled.h"

namespace kl {

void showAccessibilityWarning(QWidget* image, QWidget* textButton, bool accessibilityEnabled) {
    if (image) image->setHidden(accessibilityEnabled);
    if (textButton) textButton->setHidden(accessibilityEnabled);
}

KLTSignInViewController::KLTSignInViewController(std::shared_ptr<KLTAccountViewsLink> link)
    : KLTViewController("KLTSignInViewController"), link_(std::move(link)) {
    accessibilityEnabled = [] { return AXAPIEnabled(); };
    showAlertWithMessage = [this](const std::string& message, const std::string& info) {
        QMessageBox alert(QMessageBox::Warning, QString::fromStdString(message), QString::fromStdString(message),
                          QMessageBox::Ok, window());
        outlet(&alert, "signInAlert");
        alert.setWindowModality(Qt::ApplicationModal);
        alert.setInformativeText(QString::fromStdString(info));
        alert.exec();
    };
}

QWidget* KLTSignInViewController::loadView() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    largeAppIcon_ = outlet(new QLabel, "largeAppIcon");
    largeAppIcon_->setPixmap(KLTImageNamed("statusmenu-icon"));
    setViewAlpha(largeAppIcon_, 0.85);
    emailLabel_ = outlet(new QLabel(QObject::tr("Port Weaver Email address")), "accountEmailLabel");
    email_ = outlet(new QLineEdit, "accountEmailAddress");
    email_->setPlaceholderText(QObject::tr("Email address"));
    password_ = outlet(new QLineEdit, "accountPassword");
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(QObject::tr("Password"));
    signIn_ = outlet(new QPushButton(QObject::tr("Log In")), "signInButton");
    spinner_ = outlet(new QProgressBar, "busySpinner");
    spinner_->setRange(0, 1);
    spinner_->setTextVisible(false);
    spinner_->hide();
    createAccount_ = outlet(new QPushButton(QObject::tr("I Don't Have An Account...")), "createAccountButton");
    forgotPassword_ = outlet(new QPushButton(QObject::tr("Forgot password?")), "forgotPasswordButton");
    axImage_ = outlet(new QLabel, "axWarningImage");
    axImage_->setPixmap(KLTImageNamed("warning-mini"));
    axText_ = outlet(new QPushButton(QObject::tr("Enable access for assistive devices")), "axWarningTextButton");
    for (QWidget* w : std::initializer_list<QWidget*>{largeAppIcon_, emailLabel_, email_, password_, signIn_, spinner_,
                                                      createAccount_, forgotPassword_, axImage_, axText_})
        layout->addWidget(w);
    QObject::connect(email_, &QLineEdit::textChanged, view, [this] { textFieldDidChange(); });
    QObject::connect(password_, &QLineEdit::textChanged, view, [this] { textFieldDidChange(); });
    QObject::connect(signIn_, &QPushButton::clicked, view, [this] { takeSignInButton(); });
    QObject::connect(password_, &QLineEdit::returnPressed, view, [this] {
        if (signIn_->isEnabled()) takeSignInButton();
    });
    QObject::connect(createAccount_, &QPushButton::clicked, view, [this] { takeCreateAccountButton(); });
    QObject::connect(forgotPassword_, &QPushButton::clicked, view, [this] { takeForgotPasswordButton(); });
    QObject::connect(axText_, &QPushButton::clicked, view, [this] { takeAXWarningTextButton(); });
    textFieldDidChange();
    showAccessibilityWarning(axImage_, axText_, true);
    return view;
}

void KLTSignInViewController::textFieldDidChange() {
    signIn_->setEnabled(!email_->text().isEmpty() && !password_->text().isEmpty());
}

void KLTSignInViewController::windowDidBecomeKey() {
    view();
    showAccessibilityWarning(axImage_, axText_, accessibilityEnabled());
}

void KLTSignInViewController::viewControllerWasAddedToWindowController(KLTWindowSwitchingViewController*) {
    view();
    email_->setFocus();
}

void KLTSignInViewController::takeSignInButton() {
    view();
    // Commits whatever an input method still holds.
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    const std::string email = email_->text().toStdString();
    const std::string password = password_->text().toStdString();
    spinner_->setRange(0, 0);
    spinner_->show();
    QPointer<QWidget> alive(view());
    link_->trySignIn(email, password, [this, alive](uint32_t result, std::optional<std::string> error) {
        if (!alive) return;
        spinner_->setRange(0, 1);
        spinner_->hide();
        switch (result) {
        case 0: password_->clear(); break;
        case 1:
            showAlertWithMessage(QObject::tr("Unable to Log In to Desk Gate").toStdString(),
                                 error && !error->empty()
                                     ? *error
                                     : QObject::tr("Please check your email and password and try again.").toStdString());
            break;
        case 2:
            showAlertWithMessage(QObject::tr("Unable to Connect to Desk Gate").toStdString(),
                                 QObject::tr("There may be a problem with your Internet connection.").toStdString());
            break;
        default:
            showAlertWithMessage(QObject::tr("Unable to Log In to Desk Gate").toStdString(),
                                 QObject::tr("Please try again.").toStdString());
            break;
        }
    });
}

void KLTSignInViewController::takeCreateAccountButton() { KLTViewManager::sharedInstance().chooseCreateAccountView(); }

void KLTSignInViewController::takeForgotPasswordButton() { link_->openURL(PWConstants::forgotPasswordURL()); }

void KLTSignInViewController::takeAXWarningTextButton() { link_->showAccessibilitySettings(); }

}  // namespace kl

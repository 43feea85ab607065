#include "controlapp/ui/KLTCreateAccountViewController.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "controlapp/ui/KLTAccountViewsLink.h"
#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewManager.h"

namespace kl {

namespace {

QLabel* errorImage(const char* name) {
    auto* image = outlet(new QLabel, name);
    image->setPixmap(KLTImageNamed("warning-mini"));
    image->hide();
    return image;
}

// A text as it is; of a list, its first element.
std::optional<std::string> nestedString(const KLTCreateAccountViewController::Errors& errors, const char* key) {
    auto it = errors.find(key);
    if (it == errors.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
}

}  // namespace

KLTCreateAccountViewController::KLTCreateAccountViewController(std::shared_ptr<KLTAccountViewsLink> link)
    : KLTViewController("KLTCreateAccountViewController"), link_(std::move(link)) {}

QWidget* KLTCreateAccountViewController::loadView() {
    auto* view = new QWidget;
    auto* grid = new QGridLayout(view);
    grid->addWidget(outlet(new QLabel(QObject::tr("Create an Port Weaver Account")), "createAccountLabel"), 0, 0, 1, 3);
    grid->addWidget(outlet(new QLabel(QObject::tr("Email:")), "emailLabel"), 1, 0);
    email_ = outlet(new QLineEdit, "emailField");
    email_->setPlaceholderText(QStringLiteral("name@example.com"));
    grid->addWidget(email_, 1, 1);
    emailImage_ = errorImage("emailErrorImage");
    grid->addWidget(emailImage_, 1, 2);
    grid->addWidget(outlet(new QLabel(QObject::tr("This will be your username for Port Weaver.")), "emailExplanationLabel"),
                    2, 1);
    grid->addWidget(outlet(new QLabel(QObject::tr("Password:")), "passwordLabel"), 3, 0);
    password_ = outlet(new QLineEdit, "passwordField");
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(QObject::tr("Required"));
    grid->addWidget(password_, 3, 1);
    passwordImage_ = errorImage("passwordErrorImage");
    grid->addWidget(passwordImage_, 3, 2);
    verify_ = outlet(new QLineEdit, "passwordVerifyField");
    verify_->setEchoMode(QLineEdit::Password);
    verify_->setPlaceholderText(QObject::tr("Verify"));
    grid->addWidget(verify_, 4, 1);
    verifyImage_ = errorImage("passwordVerifyErrorImage");
    grid->addWidget(verifyImage_, 4, 2);
    auto* explanation = outlet(new QLabel(QObject::tr("Passwords must be at least 6 characters, cannot be your "
                                                      "username, and cannot be \"password\".")),
                               "passwordExplanationLabel");
    explanation->setWordWrap(true);
    grid->addWidget(explanation, 5, 1);
    error_ = outlet(new QLabel, "errorLabel");
    error_->setWordWrap(true);
    error_->hide();
    grid->addWidget(error_, 6, 0, 1, 3);
    waiting_ = outlet(new QProgressBar, "waitingForServerResponse");
    waiting_->setRange(0, 0);
    waiting_->setTextVisible(false);
    waiting_->hide();
    grid->addWidget(waiting_, 7, 0, 1, 3);
    cancel_ = outlet(new QPushButton(QObject::tr("Cancel")), "cancelButton");
    ok_ = outlet(new QPushButton(QObject::tr("Create")), "okButton");
    grid->addWidget(cancel_, 8, 1);
    grid->addWidget(ok_, 8, 2);
    for (QLineEdit* field : {email_, password_, verify_})
        QObject::connect(field, &QLineEdit::textChanged, view, [this] { textFieldDidChange(); });
    QObject::connect(ok_, &QPushButton::clicked, view, [this] { takeOK(); });
    QObject::connect(cancel_, &QPushButton::clicked, view, [this] { takeCancel(); });
    if (!suggestion_.empty()) {
        email_->setText(QString::fromStdString(suggestion_));
        email_->selectAll();
    }
    textFieldDidChange();
    return view;
}

void KLTCreateAccountViewController::setEmailAddressSuggestion(std::string suggestion) {
    suggestion_ = std::move(suggestion);
    if (email_ && !suggestion_.empty()) {
        email_->setText(QString::fromStdString(suggestion_));
        email_->selectAll();
    }
}

void KLTCreateAccountViewController::updateUIState() { emailField()->setFocus(); }

void KLTCreateAccountViewController::textFieldDidChange() {
    ok_->setEnabled(!email_->text().isEmpty() && !password_->text().isEmpty() &&
                    password_->text().size() == verify_->text().size());
}

void KLTCreateAccountViewController::takeOK() {
    view();
    if (password_->text() != verify_->text()) {
        showError(QObject::tr("Passwords do not match").toStdString());
        return;
    }
    waiting_->show();
    QPointer<QWidget> alive(view());
    link_->createAccount(email_->text().toStdString(), password_->text().toStdString(),
                         [this, alive](uint64_t result, std::optional<Errors> errors) {
                             if (!alive) return;
                             waiting_->hide();
                             switch (result) {
                             case 0:
                                 if (handlerBlock) handlerBlock(true);
                                 KLTViewManager::sharedInstance().chooseEmailVerificationView();
                                 break;
                             case 1: showErrorFromDictionary(errors); break;
                             case 2: showError(QObject::tr("Unable to connect to network").toStdString()); break;
                             case 3: showError(QObject::tr("Unable to contact server").toStdString()); break;
                             default: break;
                             }
                         });
}

void KLTCreateAccountViewController::takeCancel() { KLTViewManager::sharedInstance().chooseSignInView(); }

void KLTCreateAccountViewController::showError(const std::optional<std::string>& text) {
    if (!text) return;
    errorLabel()->setText(QString::fromStdString(*text));
    error_->show();
    error_->update();
}

void KLTCreateAccountViewController::showErrorImageForError(int error) {
    if (error == 1) emailErrorImage()->show();
}

void KLTCreateAccountViewController::showErrorFromDictionary(const std::optional<Errors>& errors) {
    if (!errors) return;
    view();
    const std::pair<const char*, QLabel*> fields[] = {
        {"email", emailImage_}, {"password", passwordImage_}, {"verify", verifyImage_}};
    std::optional<std::string> last;
    for (const auto& [key, image] : fields) {
        auto text = nestedString(*errors, key);
        const bool shown = text && !text->empty();
        image->setVisible(shown);
        if (shown) last = text;
    }
    showError(last);
}

QWidget* KLTEmailVerificationViewController::loadView() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    auto* text = outlet(new QLabel(QObject::tr("Your account was created. We sent you an e-mail: follow its link to "
                                               "verify your address, then log in.")),
                        "verificationLabel");
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* ok = outlet(new QPushButton(QObject::tr("OK")), "okButton");
    layout->addWidget(ok);
    QObject::connect(ok, &QPushButton::clicked, view, [this] { takeOKButton(); });
    return view;
}

void KLTEmailVerificationViewController::takeOKButton() { KLTViewManager::sharedInstance().chooseSignInView(); }

}  // namespace kl

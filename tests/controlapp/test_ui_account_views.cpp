// The sign-in and account-creation views: when their buttons are enabled, what each daemon answer
// shows, and what they send.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "RecordingAccountViewsLink.h"
#include "RecordingAppLink.h"
#include "controlapp/ui/KLTCreateAccountViewController.h"
#include "controlapp/ui/KLTSignInViewController.h"
#include "controlapp/ui/KLTViewManager.h"

namespace kl {
namespace {

using Strings = std::vector<std::string>;

struct Alert {
    std::string message, info;
    bool operator==(const Alert&) const = default;
};

class SignIn : public ::testing::Test {
protected:
    SignIn() {
        controller.showAlertWithMessage = [this](const std::string& m, const std::string& i) {
            alerts.push_back({m, i});
        };
        controller.accessibilityEnabled = [this] { return accessible; };
    }
    std::shared_ptr<test::RecordingAccountViewsLink> link = std::make_shared<test::RecordingAccountViewsLink>();
    KLTSignInViewController controller{link};
    std::vector<Alert> alerts;
    bool accessible = true;
};

TEST_F(SignIn, LogInIsEnabledOnlyWithBothFieldsFilled) {
    struct Case {
        const char *email, *password;
        bool enabled;
    };
    for (const Case& c : {Case{"", "", false}, Case{"a@b.c", "", false}, Case{"", "secret", false},
                          Case{"a@b.c", "secret", true}, Case{"x", "y", true}}) {
        controller.accountEmailAddress()->setText(c.email);
        controller.accountPassword()->setText(c.password);
        EXPECT_EQ(controller.signInButton()->isEnabled(), c.enabled) << c.email << " / " << c.password;
    }
}

TEST_F(SignIn, EachResultShowsItsAlertAndSuccessEmptiesOnlyThePassword) {
    struct Case {
        uint32_t result;
        std::optional<std::string> error;
        std::optional<Alert> alert;
    };
    const Case cases[] = {
        {0, std::nullopt, std::nullopt},
        {1, "Bad password for a@b.c", Alert{"Unable to Log In to Desk Gate", "Bad password for a@b.c"}},
        {1, std::nullopt,
         Alert{"Unable to Log In to Desk Gate", "Please check your email and password and try again."}},
        {2, std::nullopt, Alert{"Unable to Connect to Desk Gate", "There may be a problem with your Internet connection."}},
        {3, std::nullopt, Alert{"Unable to Log In to Desk Gate", "Please try again."}},
        {7, std::nullopt, Alert{"Unable to Log In to Desk Gate", "Please try again."}},
    };
    for (const auto& c : cases) {
        alerts.clear();
        link->requests.clear();
        controller.accountEmailAddress()->setText("a@b.c");
        controller.accountPassword()->setText("secret");
        controller.takeSignInButton();
        ASSERT_EQ(link->requests, Strings{"6 a@b.c secret"});
        EXPECT_TRUE(controller.busySpinner()->isVisibleTo(controller.view())) << c.result;
        link->signIn(c.result, c.error);
        EXPECT_FALSE(controller.busySpinner()->isVisibleTo(controller.view())) << c.result;
        EXPECT_EQ(controller.accountEmailAddress()->text(), "a@b.c") << c.result;
        EXPECT_EQ(controller.accountPassword()->text(), c.result == 0 ? "" : "secret") << c.result;
        if (c.alert) EXPECT_EQ(alerts, std::vector<Alert>{*c.alert}) << c.result;
        else EXPECT_TRUE(alerts.empty());
    }
}

TEST_F(SignIn, AccessibilityWarningStartsHiddenAndFollowsTheKeyWindow) {
    accessible = false;
    EXPECT_TRUE(controller.axWarningTextButton()->isHidden());
    controller.windowDidBecomeKey();
    EXPECT_FALSE(controller.axWarningTextButton()->isHidden());
    EXPECT_FALSE(controller.axWarningImage()->isHidden());
    accessible = true;
    controller.windowDidBecomeKey();
    EXPECT_TRUE(controller.axWarningImage()->isHidden());
    controller.takeAXWarningTextButton();
    EXPECT_EQ(link->requests, Strings{"accessibility"});
}

class CreateAccount : public ::testing::Test {
protected:
    void fill(const char* email, const char* password, const char* verify) {
        controller.emailField()->setText(email);
        controller.passwordField()->setText(password);
        controller.passwordVerifyField()->setText(verify);
    }
    std::shared_ptr<test::RecordingAccountViewsLink> link = std::make_shared<test::RecordingAccountViewsLink>();
    KLTCreateAccountViewController controller{link};
};

TEST_F(CreateAccount, CreateIsEnabledByEqualLengthsAndAMismatchSendsNothing) {
    struct Case {
        const char *email, *password, *verify;
        bool enabled;
    };
    for (const Case& c : {Case{"", "secret", "secret", false}, Case{"a@b.c", "", "", false},
                          Case{"a@b.c", "secret", "secre", false}, Case{"a@b.c", "secret", "secret", true},
                          Case{"a@b.c", "secret", "secreT", true}}) {
        fill(c.email, c.password, c.verify);
        EXPECT_EQ(controller.okButton()->isEnabled(), c.enabled) << c.password << " / " << c.verify;
    }
    fill("a@b.c", "secret", "secreT");
    controller.takeOK();
    EXPECT_TRUE(link->requests.empty());
    EXPECT_EQ(controller.errorLabel()->text(), "Passwords do not match");
    EXPECT_FALSE(controller.errorLabel()->isHidden());
}

TEST_F(CreateAccount, ServerErrorsShowTheirImagesAndTheLastText) {
    fill("a@b.c", "secret", "secret");
    controller.takeOK();
    ASSERT_EQ(link->requests, Strings{"9 a@b.c secret"});
    link->create(1, KLTAccountViewsLink::AccountErrors{{"email", {"Email is already taken"}}, {"password", {""}}});
    EXPECT_FALSE(controller.emailErrorImage()->isHidden());
    EXPECT_TRUE(controller.passwordErrorImage()->isHidden());
    EXPECT_TRUE(controller.passwordVerifyErrorImage()->isHidden());
    EXPECT_EQ(controller.errorLabel()->text(), "Email is already taken");

    controller.takeOK();
    link->create(1, KLTAccountViewsLink::AccountErrors{{"email", {}}, {"password", {"Too short", "Too common"}}});
    EXPECT_TRUE(controller.emailErrorImage()->isHidden());
    EXPECT_FALSE(controller.passwordErrorImage()->isHidden());
    EXPECT_EQ(controller.errorLabel()->text(), "Too short");
}

TEST_F(CreateAccount, NetworkAndServerFailuresShowTheirTexts) {
    fill("a@b.c", "secret", "secret");
    for (auto [result, text] : {std::pair{2, "Unable to connect to network"}, std::pair{3, "Unable to contact server"}}) {
        controller.takeOK();
        link->create(result, std::nullopt);
        EXPECT_EQ(controller.errorLabel()->text(), text);
    }
}

TEST_F(CreateAccount, WithoutADaemonTheAppLinkAnswersUnableToContactServer) {
    // The real link through an app delegate that is gone: it answers at once with result 3.
    KLTCreateAccountViewController real{makeAccountViewsLink({})};
    real.emailField()->setText("a@b.c");
    real.passwordField()->setText("secret");
    real.passwordVerifyField()->setText("secret");
    real.takeOK();
    EXPECT_EQ(real.errorLabel()->text(), "Unable to contact server");
}

TEST_F(CreateAccount, SuccessCallsTheHandlerAndShowsTheVerificationView) {
    auto& manager = KLTViewManager::sharedInstance();
    manager.setAppLink(std::make_shared<test::RecordingAppLink>());
    bool handled = false;
    controller.handlerBlock = [&](bool ok) { handled = ok; };
    fill("a@b.c", "secret", "secret");
    controller.takeOK();
    link->create(0, std::nullopt);
    EXPECT_TRUE(handled);
    ASSERT_TRUE(manager.visibleViewController());
    EXPECT_EQ(manager.visibleViewController()->nibName(), "EmailVerificationSent");
}

}  // namespace
}  // namespace kl

// The sign-out warning as a window and as a sheet, and signing out from the account view.
#include <gtest/gtest.h>

#include <QDialog>
#include <QPushButton>

#include "RecordingAccountViewsLink.h"
#include "RecordingAppLink.h"
#include "controlapp/ui/KLTAccountDetailsViewController.h"
#include "controlapp/ui/KLTSignOutWarningController.h"
#include "controlapp/ui/KLTViewManager.h"

namespace kl {
namespace {

QPushButton* button(QDialog* window, const char* name) { return window->findChild<QPushButton*>(name); }

TEST(SignOutWarning, AnswersOnceAsAWindowOrASheetAndClosingIsACancel) {
    QWidget parent;
    parent.show();
    struct Case {
        bool sheet;
        const char* press;  // nullptr: the window is closed
        bool answer;
    };
    for (const Case& c : {Case{false, "okButton", true}, Case{false, "cancelButton", false},
                          Case{true, "okButton", true}, Case{true, nullptr, false}}) {
        KLTSignOutWarningController warning(&parent);
        std::vector<bool> answers;
        auto handler = [&](bool yes) { answers.push_back(yes); };
        if (c.sheet) warning.showSheet(handler);
        else warning.showWindow(handler);
        ASSERT_TRUE(warning.window()->isVisible());
        EXPECT_EQ(warning.presentedAsSheet(), c.sheet);
        EXPECT_EQ(warning.window()->parentWidget() == &parent, c.sheet);
        EXPECT_EQ(button(warning.window(), "okButton")->text(), "Log Out");
        if (c.press) {
            button(warning.window(), c.press)->click();
        } else {
            warning.window()->reject();
        }
        warning.takeOK();  // a late second answer is not passed on
        EXPECT_EQ(answers, std::vector<bool>{c.answer}) << c.sheet << " " << (c.press ? c.press : "close");
        if (c.sheet) {
            EXPECT_FALSE(warning.window()->isVisible());
        }
    }
}

TEST(SignOutWarning, TheAccountViewSignsOutOnlyOnLogOut) {
    auto& manager = KLTViewManager::sharedInstance();
    auto appLink = std::make_shared<test::RecordingAppLink>();
    appLink->state = 1;
    manager.setAppLink(appLink);
    auto link = std::make_shared<test::RecordingAccountViewsLink>();
    KLTAccountDetailsViewController controller(link, nullptr);
    controller.view();
    link->requests.clear();

    controller.takeSignOutButton();
    button(controller.signOutWarning()->window(), "cancelButton")->click();
    EXPECT_TRUE(link->requests.empty());

    controller.takeSignOutButton();
    appLink->state = 0;  // what the app delegate's sign-in state becomes
    button(controller.signOutWarning()->window(), "okButton")->click();
    EXPECT_EQ(link->requests, std::vector<std::string>{"7"});
    EXPECT_FALSE(controller.signOutWarning()->window()->isVisible());
    ASSERT_TRUE(manager.visibleViewController());
    EXPECT_EQ(manager.visibleViewController()->nibName(), "KLTSignInViewController");
    manager.hideMenuletWindow();
    manager.setAppLink(std::make_shared<test::RecordingAppLink>());
}

}  // namespace
}  // namespace kl

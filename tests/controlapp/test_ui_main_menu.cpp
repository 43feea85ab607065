// The tools menu: its items, one About window and one uninstall confirmation at a time, and the
// start-at-login item linked to the app delegate.
#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <fstream>

#include "RecordingAppLink.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/ui/KLTMainMenuController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "controlapp/uitest/KLTUIProbe.h"
#include "platform/Preferences.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

namespace fs = std::filesystem;

class MainMenu : public ::testing::Test {
protected:
    void SetUp() override {
        auto& menu = KLTMainMenuController::sharedInstance();
        menu.setActions({
            .changeStartAtLoginState = [this](bool start) { startAtLoginCalls.push_back(start); },
            .uninstall =
                [this, &menu] {
                    // Recorded with whether the confirmation was still open: it closes afterwards.
                    uninstalls.push_back(menu.uninstallWindowController() &&
                                         menu.uninstallWindowController()->window()->isVisible());
                },
            .checkForUpdates = [this] { ++updateChecks; },
            .showAccountViaWeb = [this] { ++accountPages; },
            .openURL = [this](const std::string& url) { urls.push_back(url); },
            .makeAboutPanel =
                [this] {
                    ++aboutPanelsMade;
                    return std::make_unique<KLTAboutPanelController>(
                        KLTAboutPanelController::Options{test::makeTempDir("bundle"), {}, nullptr, {}});
                },
        });
    }
    QAction* item(const char* name) {
        return KLTMainMenuController::sharedInstance().statusItemMenu()->findChild<QAction*>(name);
    }

    std::vector<bool> startAtLoginCalls, uninstalls;
    std::vector<std::string> urls;
    int updateChecks = 0, accountPages = 0, aboutPanelsMade = 0;
};

TEST_F(MainMenu, ChoosingStartAtLoginTwiceReturnsSettingAndCheckMark) {
    auto& menu = KLTMainMenuController::sharedInstance();
    menu.updateStartAtLoginState(true);
    QAction* startAtLogin = menu.startAtLoginMenuItem();
    startAtLogin->trigger();
    EXPECT_FALSE(startAtLogin->isChecked());
    startAtLogin->trigger();
    EXPECT_TRUE(startAtLogin->isChecked());
    EXPECT_EQ(startAtLoginCalls, (std::vector<bool>{false, true}));

    // Anything but a menu item leaves both alone.
    QPushButton button;
    menu.startAtLoginAction(&button);
    menu.startAtLoginAction(nullptr);
    EXPECT_EQ(startAtLoginCalls.size(), 2u);
    EXPECT_TRUE(startAtLogin->isChecked());
}

TEST_F(MainMenu, TheOtherItemsReachTheirActions) {
    item("newsMenuItem")->trigger();
    item("accountMenuItem")->trigger();
    item("checkForUpdatesMenuItem")->trigger();
    EXPECT_EQ(urls, std::vector<std::string>{"https://www.kelvaro.com/blog"});
    EXPECT_EQ(accountPages, 1);
    EXPECT_EQ(updateChecks, 1);

    QWidget view;
    view.show();
    KLTMainMenuController::sharedInstance().presentToolsMenuAtLocation(QPoint(5, 5), &view);
    EXPECT_TRUE(KLTMainMenuController::sharedInstance().statusItemMenu()->isVisible());
    KLTMainMenuController::sharedInstance().statusItemMenu()->hide();
}

TEST_F(MainMenu, CancellingTheUninstallClosesItAndConfirmingUninstallsFirst) {
    auto& menu = KLTMainMenuController::sharedInstance();
    item("uninstallMenuItem")->trigger();
    KLTUninstallController* first = menu.uninstallWindowController();
    ASSERT_NE(first, nullptr);
    QPointer<QDialog> window = first->window();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(first->warningTitle()->text(), "Do you really want to uninstall Port Weaver?");
    EXPECT_FALSE(first->progressIndicator()->isVisible());
    item("uninstallMenuItem")->trigger();
    EXPECT_EQ(menu.uninstallWindowController(), first) << "one confirmation at a time";

    first->cancelButton()->click();
    EXPECT_TRUE(uninstalls.empty());
    EXPECT_EQ(menu.uninstallWindowController(), nullptr);
    EXPECT_TRUE(!window || !window->isVisible());

    item("uninstallMenuItem")->trigger();
    ASSERT_NE(menu.uninstallWindowController(), nullptr);
    window = menu.uninstallWindowController()->window();
    menu.uninstallWindowController()->okButton()->click();
    EXPECT_EQ(uninstalls, std::vector<bool>{true}) << "the uninstall runs before the window closes";
    EXPECT_EQ(menu.uninstallWindowController(), nullptr);
    EXPECT_TRUE(!window || !window->isVisible());

    // Closing the window is a cancel.
    item("uninstallMenuItem")->trigger();
    menu.uninstallWindowController()->window()->reject();
    EXPECT_EQ(uninstalls.size(), 1u);
    EXPECT_EQ(menu.uninstallWindowController(), nullptr);
}

TEST_F(MainMenu, AboutShowsOneWindowAndABuiltAfreshOneAfterClosing) {
    auto& menu = KLTMainMenuController::sharedInstance();
    item("aboutMenuItem")->trigger();
    // Chosen through the UI probe, as the scenarios do.
    EXPECT_NE(KLTUIProbe::handle(R"({"op":"click","name":"aboutMenuItem"})").indexOf("\"ok\":true"), -1);
    EXPECT_EQ(aboutPanelsMade, 1);
    ASSERT_NE(menu.aboutPanelController(), nullptr);
    EXPECT_TRUE(menu.aboutPanelController()->window()->isVisible());

    menu.aboutPanelController()->window()->close();
    EXPECT_EQ(menu.aboutPanelController(), nullptr) << "the handler drops the closed window's controller";
    item("aboutMenuItem")->trigger();
    EXPECT_EQ(aboutPanelsMade, 2);
    ASSERT_NE(menu.aboutPanelController(), nullptr);
    menu.aboutPanelController()->window()->close();
}

TEST(ToolsMenuWiring, TheViewManagerPopsItUpAndTheCheckMarkFollowsTheAppDelegate) {
    std::error_code error;
    fs::remove_all(KLTLaunchServices::sessionListFolder(), error);
    auto& manager = KLTViewManager::sharedInstance();
    manager.setAppLink(std::make_shared<test::RecordingAppLink>());
    auto app = KLTAppDelegate::create({"/home/u/PortWeaver", nullptr, {}});
    installToolsMenu(manager, app);
    auto& menu = KLTMainMenuController::sharedInstance();

    manager.presentToolsMenuAtLocation(QPoint(3, 3));
    EXPECT_TRUE(menu.statusItemMenu()->isVisible());
    menu.statusItemMenu()->hide();

    app->changeStartAtLoginState(true);
    EXPECT_TRUE(menu.startAtLoginMenuItem()->isChecked());
    menu.startAtLoginMenuItem()->trigger();
    EXPECT_FALSE(menu.startAtLoginMenuItem()->isChecked());
    EXPECT_EQ(Preferences("com.kelvaro.portweaver.controlapp").boolean("startAtLogin"), false);
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", false));
    menu.startAtLoginMenuItem()->trigger();
    EXPECT_TRUE(menu.startAtLoginMenuItem()->isChecked());
    EXPECT_EQ(Preferences("com.kelvaro.portweaver.controlapp").boolean("startAtLogin"), true);
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", false));
    manager.toolsMenuPresenter = nullptr;
}

}  // namespace
}  // namespace kl

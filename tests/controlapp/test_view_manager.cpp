// The view manager: window placement, showing and hiding with the daemon requests it makes, the
// choice of view controller, the status bar's update entry, and the host and account actions.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QScreen>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>

#include "RecordingAppLink.h"
#include "controlapp/ui/KLTMenuletPlacement.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTPlaceholderViewController.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/model/KLTHostItem.h"
#include "platform/Executors.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

void settle() {
    mainLoop().runUntil([] { return false; }, 30ms);
}

struct PlacementCase {
    const char* name;
    QRect anchor;
    QPoint expected;
};

TEST(MenuletPlacement, OpensUnderTheIconInsideTheAvailableAreaAndAboveABottomPanel) {
    const QSize window(300, 400);
    const QRect screen(0, 0, 1280, 1024);
    const QRect available(0, 24, 1280, 1000);  // a 24-pixel panel at the top
    const PlacementCase cases[] = {
        {"centred under the icon", QRect(600, 0, 24, 24), QPoint(462, 24)},
        {"right edge pulls back", QRect(1250, 0, 24, 24), QPoint(980, 24)},
        {"left edge pushes in", QRect(2, 0, 24, 24), QPoint(0, 24)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLTMenuletWindowOrigin(window, c.anchor, screen, available), c.expected) << c.name;

    const QRect belowPanel(0, 0, 1280, 990);  // a 34-pixel panel at the bottom
    EXPECT_EQ(KLTMenuletWindowOrigin(window, QRect(1000, 995, 24, 24), screen, belowPanel), QPoint(862, 590))
        << "above a bottom panel";
    EXPECT_EQ(KLTMenuletWindowOrigin(window, QRect(1270, 995, 24, 24), screen, belowPanel), QPoint(980, 590))
        << "bottom-right corner";
    EXPECT_EQ(KLTMenuletWindowOrigin(QSize(300, 2000), QRect(600, 0, 24, 24), screen, available), QPoint(462, 24))
        << "a window taller than the area keeps its top inside";
}

std::shared_ptr<KLTHostItem> host(const std::string& name, const std::string& uuid, const std::string& id) {
    auto item = KLTHostItem::hostItemWithPWDictionary(Value(Dictionary{{"name", name}, {"uuid", uuid}, {"id", id}}));
    item->setSshUsername("alice");
    return item;
}

class ViewManager : public ::testing::Test {
protected:
    void SetUp() override {
        manager.setAppLink(link);
        manager.setLauncher([this](const Strings& argv) { launched.push_back(argv); });
        manager.initializeUserInterface();
        settle();
        manager.hideMenuletWindow();
        KLTStatusBarView::removeAllStatusItems();
        link->requests.clear();
    }
    void TearDown() override {
        manager.hideMenuletWindow();
        manager.setAppLink(std::make_shared<test::RecordingAppLink>());
        manager.setLauncher(nullptr);
        manager.signOutWarning = nullptr;
        settle();
    }
    QWidget* dynamicView() { return manager.menuletWindowController().dynamicView(); }
    KLTMenuletWindow* window() { return manager.menuletWindowController().window(); }

    KLTViewManager& manager = KLTViewManager::sharedInstance();
    std::shared_ptr<test::RecordingAppLink> link = std::make_shared<test::RecordingAppLink>();
    std::vector<Strings> launched;
};

TEST_F(ViewManager, WithoutATrayTheWindowIsPlainAndClosingItHidesIt) {
    ASSERT_EQ(manager.statusItem(), nullptr) << "the offscreen platform has no tray";
    EXPECT_TRUE(window()->isPlainWindow());
    manager.menuletClicked(std::nullopt);
    ASSERT_TRUE(manager.menuletDisplayed());
    link->requests.clear();
    window()->close();
    EXPECT_FALSE(manager.menuletDisplayed());
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(link->requests, Strings{"31 NO"});
}

TEST_F(ViewManager, LeavingTheAppHidesTheDropDownButNotThePlainWindow) {
    manager.menuletClicked(std::nullopt);
    ASSERT_TRUE(manager.menuletDisplayed());
    link->requests.clear();
    Q_EMIT qApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_TRUE(manager.menuletDisplayed()) << "nothing else could bring the plain window back";
    EXPECT_TRUE(link->requests.empty());

    window()->setPlainWindow(false);
    Q_EMIT qApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_FALSE(manager.menuletDisplayed());
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(link->requests, Strings{"31 NO"});
    window()->setPlainWindow(true);
}

TEST_F(ViewManager, ClicksShowTheWindowUnderTheIconAndHideItAskingForHostUpdatesOnlyWhileShown) {
    const QRect anchor(700, 0, 24, 24);
    manager.menuletClicked(anchor);
    EXPECT_TRUE(manager.menuletDisplayed());
    EXPECT_TRUE(manager.mainWindowVisible());
    const QRect available = window()->screen()->availableGeometry();
    EXPECT_EQ(window()->pos(), KLTMenuletWindowOrigin(window()->frameGeometry().size(), anchor,
                                                      window()->screen()->geometry(), available));
    EXPECT_LE(window()->frameGeometry().right(), available.right());
    EXPECT_EQ(link->requests, (Strings{"32", "31 YES"}));

    manager.menuletClicked(anchor);
    EXPECT_FALSE(manager.menuletDisplayed());
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(link->requests, (Strings{"32", "31 YES", "31 NO"}));
}

// Counts a widget's parent changes.
class ParentChanges final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ParentChange) ++count;
        return false;
    }
    int count = 0;
};

TEST_F(ViewManager, ReChoosingTheVisibleControllerRefreshesItWithoutReparenting) {
    auto controller = std::make_shared<KLTPlaceholderViewController>("Test", "Test");
    manager.chooseViewController(controller);
    settle();
    ASSERT_EQ(controller->view()->parentWidget(), dynamicView());
    const int refreshes = controller->refreshes();
    EXPECT_GE(refreshes, 1);

    ParentChanges changes;
    controller->view()->installEventFilter(&changes);
    link->updateAvailable = true;
    manager.chooseViewController(controller);
    settle();
    controller->view()->removeEventFilter(&changes);
    EXPECT_EQ(changes.count, 0);
    EXPECT_EQ(controller->view()->parentWidget(), dynamicView());
    EXPECT_EQ(controller->refreshes(), refreshes + 1);
    EXPECT_EQ(KLTStatusBarView::statusItems().size(), 1u) << "the status bar was rebuilt";

    manager.chooseViewController(nullptr);
    EXPECT_EQ(manager.visibleViewController(), controller);
}

TEST_F(ViewManager, TheSignInStateChoosesTheViewAndAnUnknownStateLeavesIt) {
    struct Case {
        uint32_t state;
        const char* view;
    };
    manager.chooseSignInView();
    for (Case c : {Case{1, "KLTAccountDetailsViewController"}, Case{0, "KLTSignInViewController"},
                   Case{2, "KLTAccountDetailsViewController"}, Case{3, "KLTAccountDetailsViewController"}}) {
        link->state = c.state;
        manager.chooseStateAppropriateViewController();
        ASSERT_TRUE(manager.visibleViewController());
        EXPECT_EQ(manager.visibleViewController()->nibName(), c.view) << "state " << c.state;
        EXPECT_EQ(dynamicView()->layout()->count(), 1) << "only the visible view is in the window";
    }
}

TEST_F(ViewManager, AnAvailableUpdateIsTheOneStatusEntryAndItsActionChecksForUpdates) {
    manager.updateUIState();
    settle();
    EXPECT_TRUE(KLTStatusBarView::statusItems().empty());

    link->updateAvailable = true;
    manager.updateUIState();
    manager.updateUIState();
    settle();
    auto items = KLTStatusBarView::statusItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].text, "There is a new update available");
    EXPECT_EQ(items[0].image, "warning-mini");
    EXPECT_EQ(items[0].action, "update:");
    EXPECT_TRUE(items[0].target.lock());
    manager.menuletWindowController().statusBarView()->performCurrentAction();
    EXPECT_EQ(link->updateChecks, 1);
}

TEST_F(ViewManager, LocalServicesOpenWithoutTheDaemonAndOthersOpenTheURLItNames) {
    auto item = host("studio", "UUID-1", "42");
    manager.launchService("_smb._tcp", *item);
    manager.launchMusicServiceForHostItem(*item);
    EXPECT_TRUE(link->urlRequests.empty());
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[0], (Strings{"xdg-open", QDir::homePath().toStdString()}));
    EXPECT_EQ(launched[1][0], "xdg-open");

    manager.launchTerminalServiceForHostItem(*item);
    manager.launchScreenSharingServiceForHostItem(*item);
    manager.launchFileSharingServiceForHostItem(*item);
    ASSERT_EQ(link->urlRequests.size(), 3u);
    EXPECT_EQ(link->urlRequests[0].serviceType, "_ssh._tcp");
    EXPECT_EQ(link->urlRequests[0].username, "alice");
    EXPECT_EQ(link->urlRequests[1].serviceType, "_rfb._tcp");
    EXPECT_EQ(link->urlRequests[1].username, "");
    EXPECT_EQ(link->urlRequests[2].serviceType, "_afpovertcp._tcp");
    EXPECT_EQ(link->urlRequests[0].uuid, "UUID-1");

    launched.clear();
    link->urlRequests[0].completion("ssh://alice@127.0.0.1:1025");
    link->urlRequests[1].completion("--help");
    link->urlRequests[2].completion("not a url at all");
    EXPECT_EQ(launched, (std::vector<Strings>{{"xdg-open", "ssh://alice@127.0.0.1:1025"}}));
}

TEST_F(ViewManager, HostRowsConnectAndDisconnectByTheHostsUUID) {
    auto item = host("studio", "UUID-1", "42");
    manager.connectWithHostItem(*item);
    manager.disconnectWithHostItem(*item);
    EXPECT_EQ(link->requests, (Strings{"29 UUID-1", "30 UUID-1"}));
}

QMessageBox* openAlert(QWidget* window, const char* name) {
    for (auto* box : window->findChildren<QMessageBox*>(QString::fromLatin1(name)))
        if (box->isVisible()) return box;
    return nullptr;
}

void clickAlertButton(QMessageBox* box, const char* title) {
    for (auto* button : box->buttons())
        if (button->text() == QString::fromLatin1(title)) return button->click();
    FAIL() << "no button " << title;
}

TEST_F(ViewManager, RemovingAHostAsksFirstAndOnlyRemoveDeletesIt) {
    manager.menuletClicked(std::nullopt);
    auto item = host("studio", "UUID-1", "42");
    manager.logoutAndDeleteHostItem(nullptr);
    EXPECT_EQ(openAlert(window(), "removeHostAlert"), nullptr);

    manager.logoutAndDeleteHostItem(item);
    QMessageBox* alert = openAlert(window(), "removeHostAlert");
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->text(), "Remove host");
    EXPECT_EQ(alert->informativeText(), "\"studio\" will no longer be accessible to Port Weaver.  You can log back "
                                        "in to Port Weaver using \"studio\" to restore access.");
    clickAlertButton(alert, "Cancel");
    settle();
    manager.logoutAndDeleteHostItem(item);
    alert = openAlert(window(), "removeHostAlert");
    ASSERT_TRUE(alert);
    clickAlertButton(alert, "Remove");
    settle();
    EXPECT_EQ(link->requests.back(), "18 42");
    EXPECT_EQ(std::count(link->requests.begin(), link->requests.end(), "18 42"), 1);
}

TEST_F(ViewManager, SigningOutAsksWhenSignedInAndOnlyAYesSignsOut) {
    std::vector<bool> answers{false, true};
    manager.signOutWarning = [&](std::function<void(bool)> handler) {
        bool answer = answers.front();
        answers.erase(answers.begin());
        handler(answer);
    };
    link->state = 0;
    manager.chooseAccountDetails();
    manager.signOut();
    EXPECT_EQ(manager.visibleViewController()->nibName(), "KLTSignInViewController");
    EXPECT_EQ(answers.size(), 2u) << "not signed in: nothing to ask";

    link->state = 1;
    manager.signOut();
    EXPECT_TRUE(link->requests.empty());
    manager.signOut();
    EXPECT_EQ(link->requests, Strings{"7"});
}

TEST_F(ViewManager, TheStatusIconFollowsItsStateAndTheImagesItIsGiven) {
    const std::pair<int, const char*> states[] = {
        {0, "statusmenu-icon"}, {1, "statusmenu-connected"}, {2, "statusmenu-disabled"},
        {3, "statusmenu-error"}, {7, "statusmenu-icon"}};
    for (auto [state, image] : states) {
        manager.setStatusItemState(state);
        EXPECT_EQ(manager.statusItemImageName(), image) << state;
    }
    manager.changeStatusItemImage("statusmenu-icon-connected");
    EXPECT_EQ(manager.statusItemImageName(), "statusmenu-icon-connected");
    EXPECT_FALSE(window()->windowIcon().isNull());
}

TEST_F(ViewManager, HelpAndAccountPagesOpenInTheBrowser) {
    manager.helpAction();
    manager.showAccountViaWeb();
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[0], (Strings{"xdg-open", kKLTHelpPageURL}));
    EXPECT_EQ(launched[1][0], "xdg-open");
    EXPECT_TRUE(launched[1][1].starts_with("https://")) << launched[1][1];
}

}  // namespace
}  // namespace kl

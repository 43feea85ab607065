// The host list: a row's areas by the host item's state (changed on another thread, as the IPC
// queue does), the connect button's debounce, iOS hosts, hover, tray rows and foreign items.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <thread>

#include "RecordingAccountViewsLink.h"
#include "RecordingAppLink.h"
#include "controlapp/ui/KLTAccountDetailsViewController.h"
#include "controlapp/ui/KLTAccountOutlineView.h"
#include "controlapp/ui/KLTConnectButton.h"
#include "controlapp/ui/KLTTableCellView.h"
#include "controlapp/ui/KLTTrayItemView.h"
#include "controlapp/ui/KLTViewAlpha.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/model/KLTHostItem.h"
#include "daemon/model/PWServicesManager.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Long enough for posted work and the 25 ms transitions.
void settle() {
    mainLoop().runUntil([] { return false; }, 80ms);
}

std::shared_ptr<KLTHostItem> hostItem(const std::string& model, bool available, int status = 0) {
    return KLTHostItem::hostItemWithPWDictionary(Value(Dictionary{{"name", "beta"},
                                                                  {"uuid", "U-B"},
                                                                  {"id", "42"},
                                                                  {"model_number", model},
                                                                  {"status", int64_t(available)},
                                                                  {"tunnexConnectionStatus", int64_t(status)}}));
}

// As the IPC queue does: the item changes on a thread of its own.
void onOtherThread(const std::function<void()>& change) {
    std::thread(change).join();
}

class HostRow : public ::testing::Test {
protected:
    void SetUp() override { KLTViewManager::sharedInstance().setAppLink(link); }
    void TearDown() override { KLTViewManager::sharedInstance().setAppLink(std::make_shared<test::RecordingAppLink>()); }
    std::unique_ptr<KLTTableCellView> rowFor(std::shared_ptr<KLTHostItem> item) {
        auto row = std::make_unique<KLTTableCellView>();
        row->setObjectValue(std::move(item));
        settle();
        return row;
    }
    std::shared_ptr<test::RecordingAppLink> link = std::make_shared<test::RecordingAppLink>();
};

TEST_F(HostRow, AreasFollowTheTunnelStatus) {
    struct Case {
        const char* name;
        bool available;
        int status;
        bool progress, buttonEnabled;
        const char* title;
        double imageAlpha;
    };
    const Case cases[] = {
        {"offline", false, 0, false, false, "Connect", 0.5},
        {"available", true, 0, false, true, "Connect", 1.0},
        {"inviting", true, 2, true, false, "Connect", 1.0},
        {"encrypting", true, 4, true, false, "Connect", 1.0},
        {"connected", true, 5, false, true, "Disconnect", 1.0},
        {"connected, server says unavailable", false, 5, false, true, "Disconnect", 1.0},
    };
    for (const auto& c : cases) {
        // Each state is reached through changes of a live item, from an available, idle host.
        auto item = hostItem("ThinkPad T14", true);
        auto row = rowFor(item);
        onOtherThread([&] {
            item->setConnectionStatus(c.status);
            item->setAvailable(c.available);
        });
        settle();
        const bool progressShown = row->currentConnectView() == row->progressView();
        EXPECT_EQ(progressShown, c.progress) << c.name;
        EXPECT_EQ(row->progressRunning(), c.progress) << c.name;
        EXPECT_EQ(row->connectButton()->isEnabled(), c.buttonEnabled) << c.name;
        EXPECT_EQ(row->connectButton()->text().toStdString(), c.title) << c.name;
        EXPECT_EQ(viewAlpha(row->deviceImageView()), c.imageAlpha) << c.name;
        EXPECT_EQ(viewAlpha(row->hostTextField()), c.imageAlpha) << c.name;
        EXPECT_EQ(row->currentSwitchView(), row->titleView()) << c.name << ": services only under the pointer";
    }
}

TEST_F(HostRow, AnOfflineHostWhoseTunnelComesUpIsShownAvailable) {
    auto item = hostItem("ThinkPad T14", false);
    auto row = rowFor(item);
    ASSERT_EQ(viewAlpha(row->hostTextField()), 0.5);
    onOtherThread([&] { item->setConnectionStatus(5); });
    settle();
    EXPECT_TRUE(row->available());
    EXPECT_EQ(viewAlpha(row->deviceImageView()), 1.0);
    EXPECT_EQ(viewAlpha(row->hostTextField()), 1.0);
    row->mouseEntered();
    settle();
    EXPECT_EQ(viewAlpha(row->currentConnectView()), 1.0) << "the Disconnect button shows under the pointer";
}

TEST_F(HostRow, HoverShowsServicesOfAConnectedHostAndKeepsARunningProgress) {
    auto item = hostItem("ThinkPad T14", true, 5);
    auto row = rowFor(item);
    EXPECT_EQ(row->connectButton()->text(), "Disconnect") << "a row made for a connected host";
    EXPECT_EQ(viewAlpha(row->currentConnectView()), 0.0);
    row->mouseEntered();
    settle();
    EXPECT_EQ(row->currentSwitchView(), row->servicesView());
    EXPECT_EQ(viewAlpha(row->currentConnectView()), 1.0);
    row->mouseExited();
    settle();
    EXPECT_EQ(row->currentSwitchView(), row->titleView());
    EXPECT_EQ(viewAlpha(row->currentConnectView()), 0.0);

    // Leaving while the tunnel is being built keeps the progress visible.
    onOtherThread([&] { item->setConnectionStatus(1); });
    row->mouseEntered();
    settle();
    ASSERT_EQ(row->currentConnectView(), row->progressView());
    row->mouseExited();
    settle();
    EXPECT_EQ(viewAlpha(row->progressView()), 1.0);
    EXPECT_TRUE(row->progressRunning());
}

TEST_F(HostRow, APressBurstActsOnItsFirstPressOnly) {
    auto item = hostItem("ThinkPad T14", true);
    auto row = rowFor(item);
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    row->setClock([&] { return now; });
    row->connectButtonPressed();  // 0 s
    now += 100ms;
    row->connectButtonPressed();  // 0.1 s
    now += 100ms;
    row->connectButtonPressed();  // 0.2 s: 0.1 s after the last press
    EXPECT_EQ(link->requests, Strings{"29 U-B"});
    now += 300ms;
    onOtherThread([&] { item->setConnectionStatus(5); });
    row->connectButtonPressed();
    EXPECT_EQ(link->requests, (Strings{"29 U-B", "30 U-B"}));
}

TEST_F(HostRow, AnIOSHostHasAButtonOnlyWhileConnectingOrConnected) {
    auto item = hostItem("iPhone14,2", true);
    auto row = rowFor(item);
    EXPECT_TRUE(row->iDeviceAreWe());
    EXPECT_TRUE(row->connectButton()->isHidden());
    EXPECT_FALSE(row->connectButton()->isEnabled());
    onOtherThread([&] { item->setConnectionStatus(5); });
    settle();
    EXPECT_FALSE(row->connectButton()->isHidden());
    EXPECT_TRUE(row->connectButton()->isEnabled());

    KLTTrayItemView tray;
    tray.setObjectValue(item->nestedSelves().front());
    EXPECT_TRUE(tray.usernameField()->isHidden());
    EXPECT_TRUE(tray.usernameLabel()->isHidden());
}

TEST_F(HostRow, ServiceButtonsAskForTheirServicesURL) {
    auto item = hostItem("ThinkPad T14", true, 5);
    item->setSshUsername("bob");
    auto row = rowFor(item);
    row->screenSharingButtonPressed();
    row->sshButtonPressed();
    ASSERT_EQ(link->urlRequests.size(), 2u);
    EXPECT_EQ(link->urlRequests[0].serviceType, "_rfb._tcp");
    EXPECT_EQ(link->urlRequests[1].serviceType, "_ssh._tcp");
    EXPECT_EQ(link->urlRequests[1].username, "bob");
}

TEST(TrayRow, ShowsTheStoredNameCommitsATypedOneOnLeavingAndIgnoresNull) {
    auto item = hostItem("ThinkPad T14", true);
    item->setSshUsername("alice");
    auto nested = item->nestedSelves().front();
    KLTTrayItemView tray;
    tray.setObjectValue(nested);
    EXPECT_EQ(tray.usernameField()->text(), "alice");
    tray.setObjectValue(nullptr);
    EXPECT_EQ(tray.objectValue(), nested);
    tray.usernameField()->setText("carol");
    EXPECT_EQ(item->sshUsername(), "alice") << "nothing is committed while typing";
    tray.mouseExited();
    EXPECT_EQ(nested->sshUsername(), "carol");
    EXPECT_EQ(item->sshUsername(), "carol");
}

TEST(AccountOutline, OnlyHostItemsExpandAndAForeignItemGivesNoRowAndOneLogLine) {
    auto item = hostItem("ThinkPad T14", true);
    EXPECT_TRUE(KLTAccountOutlineView::isExpandable(item));
    EXPECT_FALSE(KLTAccountOutlineView::isExpandable(item->nestedSelves().front()));
    EXPECT_FALSE(KLTAccountOutlineView::isExpandable(KLTForeignOutlineObject{"NSNumber"}));

    setLogSink(LogSink::Memory);
    clearMemoryLog();
    EXPECT_EQ(KLTAccountOutlineView::viewForObject(KLTForeignOutlineObject{"NSNumber"}), nullptr);
    EXPECT_EQ(KLTAccountOutlineView::viewForObject(std::monostate{}), nullptr);
    const auto lines = memoryLogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("Unrecognized class in outline view") != l.npos; }),
              1);
    EXPECT_TRUE(memoryLogContains("Unrecognized class in outline view: <NSNumber>"));
}

TEST(AccountDetails, ListsTheServicesManagersHostsAndFollowsTheirChanges) {
    auto dir = std::filesystem::temp_directory_path() / ("kl-outline-" + std::to_string(::getpid()));
    PWServicesManager::Options options;
    options.archivePath = dir / "archive";
    options.machineID = "self";
    auto services = PWServicesManager::create(options);
    auto link = std::make_shared<test::RecordingAccountViewsLink>();
    link->savedEmail = "me@example.com";
    KLTAccountDetailsViewController controller(link, services);
    controller.accessibilityEnabled = [] { return false; };
    auto* outline = controller.hostsOutlineView();
    EXPECT_EQ(controller.usernameButton()->text(), "me@example.com");
    EXPECT_FALSE(controller.axWarningTextButton()->isHidden());
    EXPECT_EQ(outline->topLevelItemCount(), 0);

    onOtherThread([&] {
        services->registerHostItemWithPWDictionary(Value(Dictionary{
            {"name", "beta"}, {"uuid", "U-B"}, {"id", "42"}, {"model_number", "ThinkPad"}, {"status", int64_t(1)}}));
    });
    settle();
    ASSERT_EQ(outline->topLevelItemCount(), 1);
    auto* hostRow = dynamic_cast<KLTTableCellView*>(outline->itemWidget(outline->topLevelItem(0), 0));
    ASSERT_NE(hostRow, nullptr);
    EXPECT_EQ(hostRow->height(), 54);
    ASSERT_EQ(outline->topLevelItem(0)->childCount(), 1);
    EXPECT_NE(dynamic_cast<KLTTrayItemView*>(outline->itemWidget(outline->topLevelItem(0)->child(0), 0)), nullptr);

    controller.viewControllerWasRemovedFromWindowController(nullptr);
    EXPECT_EQ(std::count(link->requests.begin(), link->requests.end(), "17"), 1);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kl

// Menu trees read through the accessibility interface: the bar's titles on a poll, one menu per
// request below it, lookups by handle, and the applications that get no menus.
#include <gtest/gtest.h>

#include "AppsTestFakes.h"
#include "ViewerMessages.h"
#include "screen/apps/ApplicationMenuDatagrams.h"
#include "screen/apps/ApplicationRecordSerialization.h"
#include "screen/apps/KLTApplicationMonitor.h"

namespace kl {
namespace {

using test::FakeAccessibility;
using test::FakeDesktop;
using test::visibleWindow;

class MenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->applications = {{101, "Editor"}, {202, "vmware-vmx"}, {303, "Hidden"}};
        desktop->windows = {visibleWindow(11, 101), visibleWindow(22, 202)};
        // Bar 1: File (2) and Edit (3); File holds Open (4, checked) and Recent (5), Recent holds a (7).
        ax->add(1, 0, "bar");
        ax->add(2, 1, "File", 10, 0);
        ax->add(3, 1, "Edit", 60, 0);
        ax->add(4, 2, "Open", 12, 30);
        ax->add(5, 2, "Recent", 12, 50);
        ax->add(7, 5, "a.txt", 100, 50);
        ax->elements[4].attributes.markChar = "\u2713";
        ax->elements[4].attributes.cmdChar = 'O';
        ax->elements[5].attributes.markChar = "x";
        ax->elements[3].attributes.enabled = false;
        ax->menuBars = {{101, 1}, {202, 1}, {303, 1}};
        monitor.setThumbnailPause(std::chrono::milliseconds(0));
    }

    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    std::shared_ptr<FakeAccessibility> ax = std::make_shared<FakeAccessibility>();
    KLTApplicationMonitor monitor{desktop, ax, [] { return 1000.0; }};
};

TEST_F(MenuTest, PollReadsTheBarTitlesOfApplicationsWithWindowsOrInFront) {
    monitor.poll();
    auto top = monitor.applicationStateForPID(101)->topMenu;
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->appTopMenu);
    EXPECT_EQ(top->elementHandle, 1u);
    ASSERT_EQ(top->submenus.size(), 2u);
    const auto& file = *top->submenus[0];
    EXPECT_EQ(file.title, "File");
    EXPECT_EQ(file.ordinal, 0u);
    EXPECT_EQ(file.position.x, 10);  // bar items keep their x
    EXPECT_TRUE(file.hasSubMenus);
    EXPECT_TRUE(file.submenus.empty());  // lower levels wait for a request
    EXPECT_FALSE(top->submenus[1]->enabled);
    EXPECT_EQ(file.parentMenu.lock(), top);

    EXPECT_FALSE(monitor.applicationStateForPID(202)->topMenu);  // never for this name
    EXPECT_FALSE(monitor.applicationStateForPID(303)->topMenu);  // no window, not in front

    monitor.setActivePID(303);
    monitor.manageMenuState();
    EXPECT_TRUE(monitor.applicationStateForPID(303)->topMenu);
}

TEST_F(MenuTest, RequestReadsOneMenuWithItemsAtXZero) {
    monitor.poll();
    auto file = monitor.menuForElementID(2, 101);
    ASSERT_TRUE(file);
    file->submenus.clear();
    monitor.continueMenu(file->elementHandle, file, file->ordinal + 1, file->ordinal + 1);
    ASSERT_EQ(file->submenus.size(), 2u);
    const auto& open = *file->submenus[0];
    const auto& recent = *file->submenus[1];
    EXPECT_EQ(open.ordinal, 1u);
    EXPECT_EQ(open.position.x, 0);  // below the bar only the row counts
    EXPECT_EQ(open.position.y, 30);
    EXPECT_TRUE(open.checked);
    EXPECT_EQ(open.cmdChar, uint32_t('O'));
    EXPECT_FALSE(recent.checked);  // another mark is not a check
    EXPECT_TRUE(recent.hasSubMenus);
    EXPECT_TRUE(recent.submenus.empty());

    auto records = lowerMenuRecords(*file);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].parentHandle, 2u);
    EXPECT_EQ(records[0].flags, kMenuItemEnabled | kMenuItemChecked);
    EXPECT_EQ(records[1].flags, kMenuItemEnabled | kMenuItemHasSubmenus);

    EXPECT_EQ(monitor.menuForElementID(5, 101).get(), file->submenus[1].get());  // found below the bar
    EXPECT_FALSE(monitor.menuForElementID(77, 101));
    EXPECT_FALSE(monitor.menuForElementID(2, 999));
    EXPECT_TRUE(open.executeMenuOption(*ax));
    EXPECT_EQ(ax->pressed, (std::vector<uint64_t>{4}));
}

TEST_F(MenuTest, TopMenuRecordsAndFlattenedMenusNameEachMenuOnce) {
    monitor.poll();
    auto top = monitor.applicationStateForPID(101)->topMenu;
    auto records = topMenuRecords(*top);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].flags & kMenuItemApplicationTopMenu, kMenuItemApplicationTopMenu);
    EXPECT_EQ(records[0].parentHandle, 0u);
    EXPECT_EQ(records[1].parentHandle, 1u);
    EXPECT_EQ(records[1].title, "File");

    std::vector<SerializedMenuItem> flat;
    std::vector<uint64_t> seen;
    flattenMenus(*top, flat, seen);
    flattenMenus(*top, flat, seen);  // a second application sharing the tree adds nothing
    EXPECT_EQ(flat.size(), 3u);
}

TEST_F(MenuTest, RefreshSkipsExcludedApplicationsAndLeavesThePollLockFree) {
    monitor.poll();
    monitor.refreshApplicationTopMenuForApplication(202);
    EXPECT_FALSE(monitor.applicationStateForPID(202)->topMenu);
    monitor.ackPoll();  // waits for pollLock: would hang had the refresh kept it
    ax->elements[2].attributes.title = "Fichier";
    monitor.refreshApplicationTopMenuForApplication(101);
    EXPECT_EQ(monitor.applicationStateForPID(101)->topMenu->submenus[0]->title, "Fichier");
}

TEST_F(MenuTest, DisabledAccessibilityGivesNoMenusAndUnreadableBarsKeepTheOldTree) {
    ax->enabled = false;
    monitor.poll();
    EXPECT_FALSE(monitor.applicationStateForPID(101)->topMenu);
    EXPECT_EQ(ax->childReads, 0);

    ax->enabled = true;
    monitor.manageMenuState();
    auto first = monitor.applicationStateForPID(101)->topMenu;
    ASSERT_TRUE(first);
    ax->menuBars.clear();
    monitor.manageMenuState();
    EXPECT_EQ(monitor.applicationStateForPID(101)->topMenu, first);
}

TEST_F(MenuTest, SidebandDatagramsCarryTheTopMenuAndAnswerMenuRequests) {
    monitor.poll();
    auto top = topMenuDatagram(monitor, 101);
    ASSERT_TRUE(top);
    auto read = viewer::readSidebandDatagram(*top);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, viewer::SidebandDatagram::Menu);
    EXPECT_EQ(read->menuHandle, 1u);
    EXPECT_EQ(read->applicationID, 101u);
    EXPECT_EQ(read->menuTitles, (std::vector<std::string>{"", "File", "Edit"}));  // the root has no title
    EXPECT_FALSE(topMenuDatagram(monitor, 202));  // never a menu for it

    auto lower = answerMenuRequest(monitor, 2, 101);  // File, twice: read afresh, not appended
    lower = answerMenuRequest(monitor, 2, 101);
    ASSERT_TRUE(lower);
    read = viewer::readSidebandDatagram(*lower);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->menuHandle, 2u);
    EXPECT_EQ(read->menuTitles, (std::vector<std::string>{"Open", "Recent"}));
    auto deeper = answerMenuRequest(monitor, 5, 101);  // Recent, found below File now
    ASSERT_TRUE(deeper);
    EXPECT_EQ(viewer::readSidebandDatagram(*deeper)->menuTitles, (std::vector<std::string>{"a.txt"}));

    EXPECT_FALSE(answerMenuRequest(monitor, 4, 101));  // Open has no submenus: pressed
    EXPECT_EQ(ax->pressed, (std::vector<uint64_t>{4}));
    EXPECT_FALSE(answerMenuRequest(monitor, 999, 101));
    EXPECT_FALSE(answerMenuRequest(monitor, 2, 999));
    EXPECT_EQ(ax->pressed.size(), 1u);
}

}  // namespace
}  // namespace kl

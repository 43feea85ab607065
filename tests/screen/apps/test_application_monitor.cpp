// The monitor's rules against a fake desktop: throttled and exclusive polls, changes reported once,
// acknowledgements, icons kept, the window scan's filters and order, and thumbnail freshness.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AppsTestFakes.h"
#include "screen/apps/KLTApplicationMonitor.h"

namespace kl {
namespace {

using test::FakeDesktop;
using test::solidImage;
using test::visibleWindow;

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->applications = {{101, "Editor"}, {202, "Viewer"}};
        desktop->icons[101] = {solidImage(64, 64, 1)};
        desktop->windows = {visibleWindow(11, 101), visibleWindow(22, 202)};
        desktop->captures[11] = solidImage(600, 300, 5);
        monitor.setThumbnailPause(std::chrono::milliseconds(0));
    }
    std::vector<uint64_t> pids() const {
        std::vector<uint64_t> out;
        for (const auto& s : monitor.applicationStates()) out.push_back(s.applicationID);
        return out;
    }

    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    std::atomic<double> clock{1000};
    KLTApplicationMonitor monitor{desktop, nullptr, [this] { return clock.load(); }};
};

TEST_F(MonitorTest, PollsAreThrottledToOneIn30SecondsUntilReset) {
    monitor.poll();
    EXPECT_EQ(pids(), (std::vector<uint64_t>{101, 202}));
    EXPECT_TRUE(monitor.pollComplete());
    EXPECT_EQ(monitor.discoveredApplications(), (std::vector<uint64_t>{101, 202}));

    desktop->applications.push_back({303, "Late"});
    clock = 1029.9;
    monitor.poll();
    EXPECT_EQ(pids().size(), 2u);
    clock = 1030;
    monitor.poll();
    EXPECT_EQ(pids().size(), 3u);

    monitor.fullReset();
    EXPECT_TRUE(pids().empty());
    EXPECT_FALSE(monitor.pollComplete());
    monitor.poll();  // at once, whatever the clock says
    EXPECT_EQ(pids().size(), 3u);
}

TEST_F(MonitorTest, ChangesAreReportedOnceAndNeverWhileAPollRuns) {
    EXPECT_FALSE(monitor.hasApplicationInfoToSend());
    monitor.poll();
    EXPECT_TRUE(monitor.hasApplicationInfoToSend());
    EXPECT_FALSE(monitor.hasApplicationInfoToSend());

    // A second poll holding pollLock: another poll returns at once and leaves pollComplete alone.
    monitor.ackPoll();
    desktop->holdWindowList = true;
    clock = 2000;
    std::thread running([&] { monitor.poll(); });
    desktop->waitUntilHeld();
    EXPECT_FALSE(monitor.pollComplete());
    monitor.notifiedOfTerminatedApplication(202);  // a change while the poll runs
    EXPECT_FALSE(monitor.hasApplicationInfoToSend());
    const int reads = desktop->windowListReads;
    clock = 3000;
    monitor.poll();
    EXPECT_EQ(desktop->windowListReads, reads);
    desktop->release();
    running.join();
    EXPECT_TRUE(monitor.pollComplete());
}

TEST_F(MonitorTest, AcknowledgementKeepsApplicationsOfChangesThatCameAfterTheSend) {
    monitor.poll();
    ASSERT_TRUE(monitor.hasApplicationInfoToSend());
    monitor.notifiedOfTerminatedApplication(202);  // between the send and its acknowledgement
    monitor.ackPoll();
    EXPECT_EQ(monitor.discoveredApplications(), (std::vector<uint64_t>{101, 202}));
    EXPECT_FALSE(monitor.applicationStateForPID(202));
    EXPECT_TRUE(monitor.hasApplicationInfoToSend());
    monitor.ackPoll();
    EXPECT_TRUE(monitor.discoveredApplications().empty());
    EXPECT_FALSE(monitor.firstRun());
}

TEST_F(MonitorTest, KnownApplicationsKeepTheirFirstIconButTakeNewNames) {
    monitor.poll();
    auto first = monitor.applicationStateForPID(101);
    ASSERT_TRUE(first && first->icon);
    EXPECT_FALSE(first->icon->generic);
    EXPECT_TRUE(monitor.applicationStateForPID(202)->icon->generic);  // no icon of its own

    desktop->applications[0].localizedName = "Editor 2";
    desktop->icons[101] = {solidImage(64, 64, 99)};
    clock = 2000;
    monitor.poll();
    auto later = monitor.applicationStateForPID(101);
    EXPECT_EQ(later->name, "Editor 2");
    EXPECT_EQ(later->icon->tiffHash, first->icon->tiffHash);
}

TEST_F(MonitorTest, IconHashesOfTheViewerAreReplacedAndForgottenOnReset) {
    MD5Digest hash{};
    hash[0] = 0xAB;
    monitor.cacheHash(hash);
    monitor.cacheHash(hash);
    EXPECT_TRUE(monitor.iconIsCached(hash));
    EXPECT_EQ(monitor.cachedIconCount(), 1u);
    monitor.fullReset();
    EXPECT_FALSE(monitor.iconIsCached(hash));
}

TEST_F(MonitorTest, WindowScanSkipsWhatIsNotAnApplicationWindowButCountsItsPlace) {
    desktop->applications = {{101, "Editor"}, {5, "Dock"}, {6, "SystemUIServer"}, {7, "iOS Simulator"}};
    auto transparent = visibleWindow(1, 101);
    transparent.alpha = 0.0;
    auto noAlpha = visibleWindow(2, 101);
    noAlpha.alpha.reset();
    auto offScreen = visibleWindow(3, 101);
    offScreen.onScreen = false;
    auto noOnScreenFlag = visibleWindow(4, 101);
    noOnScreenFlag.onScreen.reset();
    auto floating = visibleWindow(5, 101);
    floating.layer = 3;
    auto unknownOwner = visibleWindow(6, 999);
    auto simulatorEmpty = visibleWindow(9, 7);
    simulatorEmpty.name = "";
    auto simulatorUnnamed = visibleWindow(10, 7);
    simulatorUnnamed.name.reset();
    desktop->windows = {transparent,        noAlpha,          offScreen,       noOnScreenFlag,     floating,
                        unknownOwner,       visibleWindow(7, 5), visibleWindow(8, 6), simulatorEmpty, simulatorUnnamed};
    monitor.poll();
    auto windows = monitor.applicationWindows();
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].windowID, 4u);
    EXPECT_EQ(windows[0].windowZOrder, 4u);
    EXPECT_EQ(windows[1].windowID, 10u);
    EXPECT_EQ(windows[1].windowZOrder, 10u);
    EXPECT_FALSE(windows[1].windowName);
}

TEST_F(MonitorTest, ScanOfOneApplicationDropsTheOthersWindowsAndTerminationPrunes) {
    monitor.poll();
    ASSERT_EQ(monitor.applicationWindows().size(), 2u);
    auto editor = monitor.applicationStateForPID(101);
    monitor.updateWindowsFromAppStates({*editor}, false, false);
    auto windows = monitor.applicationWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].applicationID, 101u);

    int changes = 0;
    monitor.appOrWindowCountChanged.connect([&] { ++changes; });
    monitor.notifiedOfTerminatedApplication(101);
    EXPECT_TRUE(monitor.applicationWindows().empty());
    EXPECT_FALSE(monitor.applicationHasWindows(101));
    EXPECT_EQ(changes, 2);  // the state, then its windows
}

TEST_F(MonitorTest, ThumbnailsAreReducedAndFreshOnlyWhenTheirPixelsChanged) {
    std::vector<uint64_t> updated;
    monitor.windowThumbnailChanged.connect([&](const KLTApplicationWindow& w) { updated.push_back(w.windowID); });
    monitor.poll();
    auto window = monitor.copyWindowForWID(11);
    ASSERT_TRUE(window && window->thumbnail);
    EXPECT_EQ(window->thumbnail->width, 256);
    EXPECT_EQ(window->thumbnail->height, 128);
    EXPECT_TRUE(window->freshThumbnail);
    EXPECT_EQ(window->thumbnailHash.size(), 32u);
    EXPECT_FALSE(monitor.copyWindowForWID(22)->thumbnail);  // nothing readable: no thumbnail
    EXPECT_EQ(updated, (std::vector<uint64_t>{11}));

    ASSERT_EQ(monitor.takeFreshThumbnails(3).size(), 1u);
    EXPECT_TRUE(monitor.takeFreshThumbnails(3).empty());

    clock = 2000;
    monitor.poll();  // same pixels
    EXPECT_FALSE(monitor.copyWindowForWID(11)->freshThumbnail);
    desktop->captures[11] = solidImage(600, 300, 6);
    clock = 3000;
    monitor.poll();
    EXPECT_TRUE(monitor.copyWindowForWID(11)->freshThumbnail);
    EXPECT_EQ(updated, (std::vector<uint64_t>{11, 11}));

    // A scan without thumbnails keeps the stored one and its fresh mark.
    desktop->windows[0].bounds = {50, 60, 300, 200};
    monitor.updateWindowsFromAppStates(monitor.applicationStates(), false, false);
    window = monitor.copyWindowForWID(11);
    EXPECT_EQ(window->bounds.origin.x, 50);
    EXPECT_TRUE(window->thumbnail);
    EXPECT_TRUE(window->freshThumbnail);
}

TEST_F(MonitorTest, LaunchHookAddsTheApplicationWithOnlyItsWindows) {
    monitor.poll();
    ASSERT_TRUE(monitor.hasApplicationInfoToSend());
    monitor.ackPoll();
    desktop->applications.push_back({303, "Late"});
    desktop->windows.push_back(visibleWindow(33, 303));
    monitor.notifiedOfNewApplication({303, "Late"});
    EXPECT_TRUE(monitor.hasApplicationInfoToSend());
    EXPECT_EQ(monitor.discoveredApplications(), (std::vector<uint64_t>{303}));
    auto windows = monitor.applicationWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].windowID, 33u);
}

}  // namespace
}  // namespace kl

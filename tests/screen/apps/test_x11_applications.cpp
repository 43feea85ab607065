// The monitor on a real X server: applications played by stand-in clients, named by WM_CLASS,
// found by _NET_WM_PID or X-Resource, their icons, windows, thumbnails and the active one.
#include <gtest/gtest.h>

#include "AppWindowProcess.h"
#include "X11TestActions.h"
#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/X11ApplicationPlatform.h"
#include "screen/x11/XvfbTestSupport.h"

namespace kl {
namespace {

using test::startAppWindow;

const KLTApplicationState* stateOf(const std::vector<KLTApplicationState>& states, int pid) {
    for (const auto& s : states)
        if (s.applicationID == uint64_t(pid)) return &s;
    return nullptr;
}

class X11ApplicationsTest : public ::testing::Test {
protected:
    std::shared_ptr<KLTApplicationMonitor> monitorFor(std::shared_ptr<X11ApplicationPlatform> platform) {
        auto monitor = std::make_shared<KLTApplicationMonitor>(platform, nullptr);
        monitor->setThumbnailPause(std::chrono::milliseconds(0));
        return monitor;
    }
};

TEST_F(X11ApplicationsTest, ClientsAreListedWithTheirNamesPidsIconsAndWindows) {
    KL_START_XVFB(xvfb, 1280, 800);
    auto alpha = startAppWindow({"--class", "Alpha", "--title", "Alpha main", "--geometry", "200x100+10+20",
                                 "--icon", "16", "--icon", "64", "--desktop", "2"});
    auto beta = startAppWindow({"--class", "Beta", "--no-pid", "--geometry", "300x150+50+300", "--colour", "ff8000"});
    ASSERT_TRUE(alpha.window && beta.window);

    auto platform = X11ApplicationPlatform::open();
    ASSERT_TRUE(platform);
    auto monitor = monitorFor(platform);
    monitor->poll();
    auto states = monitor->applicationStates();
    const auto* a = stateOf(states, alpha.pid);
    const auto* b = stateOf(states, beta.pid);  // found through X-Resource
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->name, "Alpha");
    EXPECT_EQ(b->name, "Beta");
    ASSERT_TRUE(a->icon && b->icon);
    EXPECT_FALSE(a->icon->generic);
    EXPECT_EQ(a->icon->picture.width, 64);  // the 16-pixel one is too small
    EXPECT_EQ(a->icon->tiffHash, dataWithMD5OfData(a->icon->tiff));
    EXPECT_TRUE(b->icon->generic);

    auto alphaWindow = monitor->copyWindowForWID(alpha.window);
    auto betaWindow = monitor->copyWindowForWID(beta.window);
    ASSERT_TRUE(alphaWindow && betaWindow);
    EXPECT_EQ(alphaWindow->applicationID, uint64_t(alpha.pid));
    EXPECT_EQ(alphaWindow->bounds, Rect(10, 20, 200, 100));
    EXPECT_EQ(alphaWindow->windowName, "Alpha main");
    EXPECT_EQ(alphaWindow->desktopNumber, 2u);
    EXPECT_EQ(betaWindow->bounds, Rect(50, 300, 300, 150));
    EXPECT_EQ(betaWindow->windowZOrder, 1u);  // mapped last: in front
    EXPECT_EQ(alphaWindow->windowZOrder, 2u);

    ASSERT_TRUE(betaWindow->thumbnail);
    EXPECT_EQ(betaWindow->thumbnail->width, 256);
    EXPECT_EQ(betaWindow->thumbnail->height, 128);
    const uint8_t* p = &betaWindow->thumbnail->pixels[(64 * 256 + 128) * 4];
    EXPECT_EQ(p[2], 0xff);  // the window's own colour, blue first
    EXPECT_EQ(p[1], 0x80);
    EXPECT_EQ(p[0], 0x00);
}

TEST_F(X11ApplicationsTest, PopupsDocksAndInvisibleWindowsAreNoApplicationWindows) {
    KL_START_XVFB(xvfb, 1280, 800);
    auto normal = startAppWindow({"--class", "Normal", "--opacity", "0.5", "--type", "DIALOG"});
    auto dock = startAppWindow({"--class", "Panel", "--type", "DOCK", "--geometry", "1280x30+0+0"});
    auto clear = startAppWindow({"--class", "Clear", "--opacity", "0"});
    ASSERT_TRUE(normal.window && dock.window && clear.window);
    auto platform = X11ApplicationPlatform::open();
    ASSERT_TRUE(platform);
    auto monitor = monitorFor(platform);
    monitor->poll();
    EXPECT_EQ(monitor->applicationStates().size(), 3u);  // all three are applications
    auto windows = monitor->applicationWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].windowID, normal.window);
    EXPECT_EQ(windows[0].windowZOrder, 3u);  // behind the two skipped ones
}

TEST_F(X11ApplicationsTest, ThumbnailShowsOnlyThePartOnScreen) {
    KL_START_XVFB(xvfb, 1280, 800);
    auto edge = startAppWindow({"--geometry", "400x300+1100+700"});
    auto gone = startAppWindow({"--geometry", "100x100+1300+900"});
    ASSERT_TRUE(edge.window && gone.window);
    auto platform = X11ApplicationPlatform::open();
    ASSERT_TRUE(platform);
    auto visible = platform->captureWindow(edge.window);
    ASSERT_TRUE(visible);
    EXPECT_EQ(visible->width, 180);
    EXPECT_EQ(visible->height, 100);
    EXPECT_FALSE(platform->captureWindow(gone.window));
    EXPECT_FALSE(platform->captureWindow(0x7fffff));  // no such window
}

TEST_F(X11ApplicationsTest, ActiveApplicationFollowsTheActiveWindowElseTheFocus) {
    KL_START_XVFB(xvfb, 1280, 800);
    auto first = startAppWindow({"--class", "First"});
    auto second = startAppWindow({"--class", "Second", "--no-pid"});
    ASSERT_TRUE(first.window && second.window);
    auto platform = X11ApplicationPlatform::open();
    ASSERT_TRUE(platform);

    ASSERT_TRUE(test::focusWindow(second.window));
    EXPECT_EQ(platform->activeApplicationPID(), uint64_t(second.pid));
    ASSERT_TRUE(test::setActiveWindowProperty(first.window));
    EXPECT_EQ(platform->activeApplicationPID(), uint64_t(first.pid));
}

}  // namespace
}  // namespace kl

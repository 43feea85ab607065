// What the X server reports on its own: redrawn areas reach the delegate as refreshes, monitor
// splits as begin and end reconfigurations under the frame-buffer lock, cursor changes as a new
// serial, image and hot spot; and the refresh listener count.
#include <algorithm>
#include <future>

#include "XvfbTestSupport.h"
#include "platform/x11/X11Cursor.h"
#include "platform/x11/X11Settings.h"
#include "screen/KLGeometryHelpers.h"
#include "screen/KLTCursor.h"
#include "screen/KLTDisplayConfiguration.h"
#include "screen/X11DoubleClickInterval.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;

struct RecordingDelegate : KLTDisplayConfigurationDelegate {
    std::recursive_mutex frameBufferLock;
    std::vector<Rect> refreshed;
    int feeds = 0;
    std::vector<uint32_t> reconfigurations;
    bool lockHeldDuringReconfiguration = true;

    std::recursive_mutex* frameBufferLockObject() override { return &frameBufferLock; }
    void screenReconfigured(uint32_t flags) override {
        reconfigurations.push_back(flags);
        bool heldElsewhere = !std::async(std::launch::async, [this] {
                                 bool got = frameBufferLock.try_lock();
                                 if (got) frameBufferLock.unlock();
                                 return got;
                             }).get();
        lockHeldDuringReconfiguration &= heldElsewhere;
    }
    void feedQueuedRefreshes() override { ++feeds; }
    void screenRefreshed(uint32_t count, const Rect* rects) override { refreshed.insert(refreshed.end(), rects, rects + count); }
    bool covered(const Rect& area) const {
        Rect all = Rect::null();
        for (const auto& r : refreshed)
            if (r.intersects(area)) all = all.unionWith(r.intersection(area));
        return all == area;
    }
};

TEST(X11Events, DrawingReachesTheDelegateAsRefreshes) {
    KL_START_XVFB(xvfb, 1024, 768);
    MainLoop loop;
    KLTDisplayConfiguration configuration(loop);
    auto delegate = std::make_shared<RecordingDelegate>();
    configuration.setDelegate(delegate);
    configuration.setListenToScreenRefresh(true);
    ASSERT_TRUE(loop.runUntil([&] { return configuration.refreshCallbackRegistered(); }, 5s));

    Client client;
    client.drawPattern(100, 120, 50, 40);
    ASSERT_TRUE(loop.runUntil([&] { return delegate->covered(Rect(100, 120, 50, 40)); }, 10s));
    EXPECT_GT(delegate->feeds, 0);
    configuration.setListenToScreenRefresh(false);
    loop.runUntil([&] { return !configuration.refreshCallbackRegistered(); }, 5s);
}

TEST(X11Events, ListenerCountNeverGoesBelowZero) {
    KL_START_XVFB(xvfb, 640, 480);
    MainLoop loop;
    KLTDisplayConfiguration configuration(loop);
    auto delegate = std::make_shared<RecordingDelegate>();
    configuration.setDelegate(delegate);

    configuration.setListenToScreenRefresh(true);
    configuration.setListenToScreenRefresh(true);
    configuration.setListenToScreenRefresh(false);
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_TRUE(configuration.refreshCallbackRegistered());  // one viewer still listens
    configuration.setListenToScreenRefresh(false);
    configuration.setListenToScreenRefresh(false);  // a disconnect's extra stop
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(configuration.refreshListenerCount(), 0);
    EXPECT_FALSE(configuration.refreshCallbackRegistered());

    configuration.setListenToScreenRefresh(true);  // the next viewer
    ASSERT_TRUE(loop.runUntil([&] { return configuration.refreshCallbackRegistered(); }, 5s));
    Client client;
    client.drawPattern(10, 10, 20, 20);
    EXPECT_TRUE(loop.runUntil([&] { return delegate->covered(Rect(10, 10, 20, 20)); }, 10s));
}

TEST(X11Events, SplittingTheScreenReportsBeginAndEndUnderTheLock) {
    KL_START_XVFB(xvfb, 2048, 768);
    MainLoop loop;
    KLTDisplayConfiguration configuration(loop);
    configuration.displayReconfigurationCallBack(1, kCGDisplayBeginConfigurationFlag);  // no delegate: nothing
    auto delegate = std::make_shared<RecordingDelegate>();
    configuration.setDelegate(delegate);
    std::vector<std::string> notices;
    configuration.notifications().connect([&](std::string name, Value) { notices.push_back(name); });
    ASSERT_TRUE(configuration.startListeningForDevice(std::nullopt));
    loop.runUntil([] { return false; }, 100ms);

    auto split = splitMonitors({"KL-LEFT:1024x768+0+0", "KL-RIGHT:1024x768+1024+0"});
    ASSERT_TRUE(split);
    auto sawEnd = [&](uint32_t flag) {
        return std::any_of(delegate->reconfigurations.begin(), delegate->reconfigurations.end(),
                           [flag](uint32_t f) { return f & flag; });
    };
    // The automatic whole-screen monitor goes, two new ones come.
    ASSERT_TRUE(loop.runUntil([&] { return sawEnd(kCGDisplayAddFlag) && sawEnd(kCGDisplayRemoveFlag); }, 10s));
    ASSERT_EQ(delegate->reconfigurations.size(), 6u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(delegate->reconfigurations[i], kCGDisplayBeginConfigurationFlag);
    EXPECT_TRUE(delegate->lockHeldDuringReconfiguration);
    EXPECT_TRUE(notices.empty());  // no display of interest, no notifications asked for

    configuration.stopListening();
    configuration.stopListening();  // when not registered: nothing
    EXPECT_FALSE(configuration.registeredForReconfigurationCallback());
    EXPECT_EQ(KLTDisplayConfiguration::stringFromCGDisplayChangeSummaryFlags(0x11),
              "DisplayChangeSummaryFlags: kCGDisplayBeginConfigurationFlag kCGDisplayAddFlag ");
}

// The tracking of windows on one named display (a facility the service itself never switches on).
TEST(X11Events, WindowsOfInterestFollowTheTrackedDisplay) {
    KL_START_XVFB(xvfb, 2048, 768);
    MainLoop loop;
    KLTDisplayConfiguration configuration(loop);
    std::vector<std::pair<std::string, Value>> notices;
    configuration.notifications().connect([&](std::string name, Value info) { notices.push_back({name, info}); });
    configuration.setSendNotifications(true);
    ASSERT_TRUE(configuration.startListeningForDevice("Unknown Display"));  // what Xvfb's monitors are called
    configuration.turnOnWindowsOfInterestSupportAndUpdate();
    configuration.setListenToScreenRefresh(true);
    loop.runUntil([] { return false; }, 100ms);

    auto split = splitMonitors({"KL-LEFT:1024x768+0+0", "KL-RIGHT:1024x768+1024+0"});
    ASSERT_TRUE(split);
    Client client;
    uint32_t right = client.atom("KL-RIGHT");
    ASSERT_TRUE(loop.runUntil([&] { return configuration.displayIDOfInterest() == right; }, 10s));
    auto noticed = [&](const char* name) {
        return std::count_if(notices.begin(), notices.end(), [&](const auto& n) { return n.first == name; });
    };
    EXPECT_GT(noticed(kGVEDisplayOfInterestWasAddedNotification), 0);
    EXPECT_GT(noticed(kGVEDisplayWasAddedNotification), 0);

    unsigned long window = client.showWindow("kl-tracked", 1100, 100, 200, 150);
    loop.post([&] { configuration.getWindowsOfInterest(); });
    ASSERT_TRUE(loop.runUntil([&] { return noticed(kGVEWindowMovedOnDisplayOfInterest) == 1; }, 5s));
    EXPECT_EQ(notices.back().second.intOr(kGVEDisplayConfigurationWindowIDKey, 0), int64_t(window));
    ASSERT_EQ(configuration.windowsOfInterest().size(), 1u);
    EXPECT_EQ(configuration.windowsOfInterest()[0].bounds, Rect(1100, 100, 200, 150));

    // Moved away, the window is brought back to where it was last seen on the tracked display.
    client.moveWindow(window, 100, 100);
    loop.post([&] { configuration.moveWindowsOfInterestBack(); });
    ASSERT_TRUE(loop.runUntil([&] { return client.windowOrigin(window) == std::pair{1100, 100}; }, 5s));

    client.moveWindow(window, 100, 100);
    loop.post([&] { configuration.getWindowsOfInterest(); });
    ASSERT_TRUE(loop.runUntil([&] { return noticed(kGVEWindowMovedOffDisplayOfInterest) == 1; }, 5s));
    EXPECT_TRUE(configuration.windowsOfInterest().empty());
    client.moveWindow(window, 1100, 100);
    configuration.getWindowsOfInterest();  // off the main loop (not running): refused
    EXPECT_EQ(noticed(kGVEWindowMovedOnDisplayOfInterest), 1);
    EXPECT_TRUE(configuration.windowsOfInterest().empty());
}

TEST(X11Events, CursorChangesSeedImageAndHotSpot) {
    KL_START_XVFB(xvfb, 640, 480);
    KLTCursor::cursorImageUpdated();
    EXPECT_FALSE(KLTCursor::cursorImageUpdated());

    Client client;
    client.showCursorWindow(0, 0, 200, 200, 16, 3, 5, false);
    EXPECT_TRUE(KLTCursor::cursorImageUpdated());
    EXPECT_FALSE(KLTCursor::cursorImageUpdated());
    auto cursor = KLTCursor::gveCurrentSystemCursor();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->width, 16);
    EXPECT_EQ(cursor->hotSpot, (Point{3, 5}));
    EXPECT_EQ(KLTCursor::gveHotSpot(), (Point{3, 5}));
    EXPECT_FALSE(cursor->isInvisible());
    // The stripe is opaque red (straight RGBA), the rest transparent.
    EXPECT_EQ(std::vector<uint8_t>(cursor->rgba.begin(), cursor->rgba.begin() + 4), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(cursor->rgba[(0 * 16 + 8) * 4 + 3], 0);

    // Premultiplied pixels come out straight: half-transparent grey keeps its colour.
    const unsigned long premultiplied[] = {0x80404040, 0x00000000, 0xFF102030};
    EXPECT_EQ(straightRgbaFromPremultipliedArgb(premultiplied, 3),
              (std::vector<uint8_t>{128, 128, 128, 128, 0, 0, 0, 0, 0x10, 0x20, 0x30, 255}));

    client.showCursorWindow(300, 200, 200, 200, 24, 1, 1, true);
    EXPECT_TRUE(KLTCursor::cursorImageUpdated());
    cursor = KLTCursor::gveCurrentSystemCursor();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->width, 24);
    EXPECT_TRUE(cursor->isInvisible());
}

TEST(X11Events, DoubleClickTimeFromTheSettingsManager) {
    // Little-endian settings: one integer "Net/DoubleClickTime" = 250, one string before it.
    std::vector<uint8_t> data = {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    auto add = [&](std::initializer_list<uint8_t> bytes) { data.insert(data.end(), bytes); };
    add({1, 0, 8, 0});
    for (char c : std::string("Net/Name")) data.push_back(uint8_t(c));
    add({0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 0});
    add({0, 0, 19, 0});
    for (char c : std::string("Net/DoubleClickTime")) data.push_back(uint8_t(c));
    add({0, 0, 0, 0, 0});
    add({250, 0, 0, 0});
    EXPECT_EQ(parseXSettingsInt(data, "Net/DoubleClickTime"), 250);
    EXPECT_EQ(parseXSettingsInt(data, "Net/Name"), std::nullopt);
    for (size_t cut : {3u, 13u, 30u, 50u})
        EXPECT_EQ(parseXSettingsInt(std::vector<uint8_t>(data.begin(), data.begin() + cut), "Net/DoubleClickTime"),
                  std::nullopt);

    KL_START_XVFB(xvfb, 320, 240);
    installX11DoubleClickIntervalSource();  // no settings manager runs: 400 ms
    EXPECT_TRUE(isDoubleClick(0.4));
    EXPECT_FALSE(isDoubleClick(0.45));
    Client manager;
    manager.ownSettings(data);
    EXPECT_TRUE(isDoubleClick(0.25));
    EXPECT_FALSE(isDoubleClick(0.3));
    setDoubleClickIntervalSource(nullptr);
}

}  // namespace
}  // namespace kl::test

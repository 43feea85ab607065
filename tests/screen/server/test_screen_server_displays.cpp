// The host's displays change while a viewer streams: splitting the screen into two monitors brings
// the display count and one update per display (the last one counting the cursor records), and a
// resolution change when the desktop's size changed.
#include "ScreenServerTestSupport.h"

namespace kl::test {
namespace {

TEST(ScreenServerDisplays, SplittingTheScreenGivesTwoDisplaysAndANewSize) {
    KL_REQUIRE_SHARED_XVFB();
    ServerHarness harness;
    ASSERT_TRUE(harness.started);
    TestViewer viewer(harness.server->port());
    ASSERT_TRUE(viewer.handshake(fullHandshake(9)));
    ASSERT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::Streaming; }));
    ASSERT_TRUE(viewer.requestUntilQuiet());
    EXPECT_EQ(viewer.with([](auto& s) { return s.displayCount; }), 1);

    // Two monitors whose union is 520 x 480.
    auto monitors = splitMonitors({"LEFT:320x480+0+0", "RIGHT:200x300+320+0"});
    ASSERT_TRUE(monitors);
    bool split = false;
    for (int i = 0; i < 200 && !split; ++i) {
        ASSERT_TRUE(viewer.requestUpdate());
        split = viewer.with([](auto& s) { return s.displayCount == 2 && s.resolutionWidth == 520; });
        if (!split) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(split);
    EXPECT_EQ(viewer.with([](auto& s) { return s.resolutionHeight; }), 480);
    EXPECT_EQ(harness.server->screen()->displays().size(), 2u);

    // Each request: {0x25, 02 00}, then two updates, the whole of the new desktop sent again.
    auto updates = viewer.with([](auto& s) { return s.updatesCompleted; });
    ASSERT_TRUE(viewer.requestUpdate());
    viewer.with([&](viewer::ViewerUpdateStream& s) {
        EXPECT_FALSE(s.failed()) << s.failure();
        EXPECT_EQ(s.updatesCompleted, updates + 2);
        EXPECT_EQ(s.lastDesignation, 0x28);
        return 0;
    });
    EXPECT_TRUE(viewer.requestUntilQuiet());
}

}  // namespace
}  // namespace kl::test

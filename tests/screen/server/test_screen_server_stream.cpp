// The screen server streaming to a viewer on a real X server: the viewer's framebuffer follows the
// screen, an update request during a reconfiguration is answered at once with the empty update,
// the cursor travels on the output sideband and in the update (an invisible one as the I-beam),
// and every cursor record an update counts is written.
#include <cstdlib>

#include "ScreenServerTestSupport.h"
#include "screen/CreateImageBufferForRect.h"
#include "screen/wire/TestPictures.h"
#include "screen/server/IBeamCursor.h"

namespace kl::test {
namespace {

TestPicture captureScreen(uint32_t displayID) {
    Size size;
    uint8_t* pixels = CreateImageBufferForRect(nullptr, displayID, &size, 1.0, Rect(0, 0, kScreenWidth, kScreenHeight));
    if (!pixels) return {};
    TestPicture picture{kScreenWidth, kScreenHeight,
                        std::vector<uint8_t>(pixels, pixels + size_t(kScreenWidth) * kScreenHeight * 4)};
    std::free(pixels);
    return picture;
}

struct StreamFixture : testing::Test {
    void SetUp() override {
        KL_REQUIRE_SHARED_XVFB();
        harness = std::make_unique<ServerHarness>();
        ASSERT_TRUE(harness->started);
        viewer = std::make_unique<TestViewer>(harness->server->port());
        ASSERT_TRUE(viewer->connected());
        ASSERT_TRUE(viewer->waitUntil([](auto& s) { return s.helloReceived; }));
    }
    void TearDown() override {
        viewer.reset();
        harness.reset();
    }
    bool stream() {
        return viewer->handshake(fullHandshake(7)) &&
               waitFor([&] { return harness->state() == ScreenServerState::Streaming; });
    }
    std::unique_ptr<ServerHarness> harness;
    std::unique_ptr<TestViewer> viewer;
};

TEST_F(StreamFixture, ViewerFramebufferFollowsTheScreen) {
    Client client;
    ASSERT_TRUE(client.connected());
    client.drawTestDesktop(kScreenWidth, kScreenHeight);
    ASSERT_TRUE(stream());
    ASSERT_TRUE(viewer->requestUntilQuiet());
    auto set = harness->server->screen();
    ASSERT_TRUE(set);
    ASSERT_EQ(set->displays().size(), 1u);
    const uint32_t displayID = (*set->displays().begin())->displayID();
    auto psnrNow = [&] {
        TestPicture screen = captureScreen(displayID);
        return viewer->with([&](auto& s) { return psnr(s.framebuffer().picture().pixels, kScreenWidth, 0, 0, screen); });
    };
    EXPECT_GE(psnrNow(), 35.0);

    // An X client's drawing reaches the viewer through the damage reports.
    client.fill(100, 120, 200, 150, 0x3366CC);
    client.drawPattern(380, 40, 160, 90);
    double quality = 0;
    for (int i = 0; i < 100 && quality < 35.0; ++i) {
        ASSERT_TRUE(viewer->requestUpdate());
        quality = psnrNow();
    }
    EXPECT_GE(quality, 35.0);
    viewer->with([](viewer::ViewerUpdateStream& s) {
        EXPECT_FALSE(s.failed()) << s.failure();
        EXPECT_EQ(s.lastDesignation, 0x28);
        EXPECT_EQ(s.displayCount, 1);
        EXPECT_EQ(s.sectionsOpened, s.sectionsClosed);
        EXPECT_GT(s.sectionsClosed, 0);
        EXPECT_EQ(s.windowCount, 0u);
        EXPECT_TRUE(s.cursorImage.has_value());
        return 0;
    });
}

TEST_F(StreamFixture, UpdateDuringAReconfigurationIsTheEmptyUpdate) {
    ASSERT_TRUE(stream());
    ASSERT_TRUE(viewer->requestUntilQuiet());
    auto before = viewer->with([](auto& s) { return std::tuple(s.updatesCompleted, s.records.size(), s.sectionsClosed); });
    {
        std::lock_guard reconfiguring(*harness->server->frameBufferLockObject());
        ASSERT_TRUE(viewer->requestUpdate());
    }
    viewer->with([&](viewer::ViewerUpdateStream& s) {
        EXPECT_EQ(s.lastDesignation, 0x20);
        EXPECT_EQ(s.updatesCompleted, std::get<0>(before) + 1);
        EXPECT_EQ(s.records.size(), std::get<1>(before));
        EXPECT_EQ(s.sectionsClosed, std::get<2>(before));
        return 0;
    });
    EXPECT_EQ(harness->state(), ScreenServerState::Streaming);
    ASSERT_TRUE(viewer->requestUpdate());
    EXPECT_EQ(viewer->with([](auto& s) { return s.lastDesignation; }), 0x28);
}

TEST_F(StreamFixture, CursorTravelsOnTheSidebandAndAnInvisibleOneAsTheIBeam) {
    Client client;
    ASSERT_TRUE(client.connected());
    client.showCursorWindow(200, 150, 100, 100, 16, 2, 3, /*blank=*/false);  // pointer at (250, 200)
    ASSERT_TRUE(stream());
    int start = harness->sideband.cursorDatagrams();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // 120 a second; a loaded machine may lose some, but not most.
    EXPECT_GE(harness->sideband.cursorDatagrams() - start, 20);
    EXPECT_EQ(harness->sideband.unreadable(), 0);
    viewer::SidebandDatagram last = harness->sideband.last();
    EXPECT_EQ(last.x, 250);
    EXPECT_EQ(last.y, 200);
    EXPECT_TRUE(last.visible);

    // The stripe cursor arrives with its hot spot...
    ASSERT_TRUE(viewer->requestUntilQuiet());
    ASSERT_TRUE(viewer->waitUntil([](auto& s) { return s.cursorImage && s.cursorImage->width == 16; }));
    EXPECT_EQ(viewer->with([](auto& s) { return std::pair(s.cursorHotX, s.cursorHotY); }), std::pair(2, 3));

    // ...and a blank one as the I-beam, once an update follows the change.
    Client blank;
    blank.showCursorWindow(320, 240, 100, 100, 16, 8, 8, /*blank=*/true);
    const KLTCursor beam = iBeamCursor();
    bool arrived = false;
    for (int i = 0; i < 100 && !arrived; ++i) {
        ASSERT_TRUE(viewer->requestUpdate());
        arrived = viewer->with([&](auto& s) {
            return s.cursorImage && s.cursorImage->width == beam.width && s.cursorImage->height == beam.height;
        });
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(viewer->with([](auto& s) { return std::pair(s.cursorHotX, s.cursorHotY); }),
              std::pair(int(beam.hotSpot.x), int(beam.hotSpot.y)));
}

TEST_F(StreamFixture, EveryCountedCursorRecordIsWrittenEvenWithoutAnImage) {
    harness->delegate->noCursorImage = true;
    // A cursor change since the connection began: the next update counts an image record.
    Client client;
    client.showCursorWindow(10, 10, 50, 50, 12, 1, 1, false);
    ASSERT_TRUE(stream());
    ASSERT_TRUE(viewer->requestUpdate());
    viewer->with([](viewer::ViewerUpdateStream& s) {
        EXPECT_FALSE(s.failed()) << s.failure();
        EXPECT_EQ(s.pendingBytes(), 0u);
        bool placeholder = false;
        for (const auto& r : s.records) {
            EXPECT_NE(r.encoding, 3) << "no cursor image can be made";
            placeholder |= r.encoding == 2 && r.x == 0 && r.y == 0 && r.w == 0 && r.h == 0 && r.length == 0;
        }
        EXPECT_TRUE(placeholder);
        return 0;
    });
    // The stream stays in step: the next update reads cleanly too.
    ASSERT_TRUE(viewer->requestUpdate());
    EXPECT_FALSE(viewer->with([](auto& s) { return s.failed(); }));
}

}  // namespace
}  // namespace kl::test

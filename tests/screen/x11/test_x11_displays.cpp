// Displays on a real X server: RandR monitors as displays in global coordinates, the screen list
// across splits, the display set, and the routing of dirty rectangles between displays.
#include <cstring>

#include "XvfbTestSupport.h"
#include "platform/x11/X11Monitors.h"
#include "platform/x11/X11Windows.h"
#include "screen/BCDSystemVersion.h"
#include "screen/DisplayModes.h"
#include "screen/DisplayServer.h"
#include "screen/KLTBaseNimEncoder.h"
#include "screen/KLTDisplaySet.h"
#include "screen/KLTMultiScreen.h"
#include "screen/KLTScreen.h"

namespace kl::test {
namespace {

// The primary display at root (0, 200), the other at root (1440, 0): in global coordinates the
// other lies at (1440, -200).
const std::vector<std::string> kTwoDisplays = {"KL-PRIMARY:1440x900+0+200", "KL-SIDE:1920x1080+1440+0"};

uint32_t atom(const char* name) {
    Client c;
    return c.atom(name);
}

TEST(X11Displays, TwoMonitorsBecomeTwoDisplaysPrimaryFirst) {
    KL_START_XVFB(xvfb, 3360, 1100);
    auto split = splitMonitors(kTwoDisplays);
    ASSERT_TRUE(split);
    uint32_t primary = atom("KL-PRIMARY"), side = atom("KL-SIDE");

    auto screens = KLTScreen::screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0]->displayID(), primary);
    EXPECT_EQ(screens[1]->displayID(), side);
    EXPECT_EQ(screens[0]->scaleCorrectedDisplayBounds(), Rect(0, 0, 1440, 900));
    EXPECT_EQ(screens[1]->scaleCorrectedDisplayBounds(), Rect(1440, -200, 1920, 1080));
    EXPECT_EQ(screens[1]->arrayOfScreenBounds(), (std::vector<Rect>{Rect(0, 0, 1920, 1080)}));
    EXPECT_EQ(screens[1]->scale(), 1.0);
    EXPECT_EQ(screens[0]->userDescription(), "Unknown Display");  // Xvfb's output has no EDID
    EXPECT_EQ(screens[0]->framebufferIndex(), int64_t(kUnknownFramebufferIndex));
    EXPECT_EQ(KLTScreen::zeroScreenHeight(), 900);
    EXPECT_EQ(screens[1]->frame(), Rect(1440, 900 - (-200 + 1080), 1920, 1080));
    EXPECT_EQ(DisplayServer::rootToGlobal({1440, 0}), (Point{1440, -200}));
    EXPECT_EQ(DisplayServer::globalToRoot({0, 0}), (Point{0, 200}));

    auto set = KLTDisplaySet::forActiveScreens();
    EXPECT_EQ(set->scaleCorrectedDisplayBounds(), Rect(0, -200, 3360, 1100));
    EXPECT_EQ(set->boundsOfPrimaryDisplay(), Rect(0, 0, 1440, 900));
    EXPECT_EQ(set->cursorScale(), 1.0);
    for (const auto& d : set->displays()) {
        if (d->displayID() == side) {
            EXPECT_EQ(d->ourOrigin(), (Point{1440, -200}));
            EXPECT_EQ(d->offsetFromOrigin(), (Point{1440, 0}));
        } else {
            EXPECT_EQ(d->offsetFromOrigin(), (Point{0, 200}));
        }
    }
    KLTMultiScreen multi;
    EXPECT_EQ(multi.screens().size(), 2u);
    EXPECT_EQ(multi.scaleCorrectedDisplayBounds(), Rect(0, -200, 3360, 1100));
}

TEST(X11Displays, UnsplittingDropsOneScreenAndKeepsTheOthers) {
    KL_START_XVFB(xvfb, 3360, 1100);
    auto split = splitMonitors({"KL-A:1440x900+0+200", "KL-B:960x1100+1440+0", "KL-C:960x1100+2400+0"});
    ASSERT_TRUE(split);
    auto before = KLTScreen::screens();
    ASSERT_EQ(before.size(), 3u);
    uint32_t seed = DisplayServer::displayMappingSeed();

    split->send("delete KL-B");
    ASSERT_TRUE(split->waitFor([](const nlohmann::json& l) { return l.contains("deleted"); }, std::chrono::seconds(10)));
    auto after = KLTScreen::screens();
    EXPECT_NE(DisplayServer::displayMappingSeed(), seed);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);  // the same objects
    EXPECT_EQ(after[1], before[2]);
}

TEST(X11Displays, DirtyRectanglesGoToTheDisplaysTheyTouch) {
    KL_START_XVFB(xvfb, 3360, 1100);
    auto split = splitMonitors(kTwoDisplays);
    ASSERT_TRUE(split);
    KLTBaseNimEncoder encoder;
    encoder.setEncoderInformation(KLTDisplaySet::forActiveScreens(), nullptr, {});
    std::shared_ptr<KLTDisplay> primary, side;
    for (const auto& d : encoder.displaySet()->displays()) (d->ourOrigin().x == 0 ? primary : side) = d;
    ASSERT_TRUE(primary && side);

    encoder.addDirtyRectangle(Rect(1400, 100, 100, 50));  // straddles the border
    encoder.addDirtyRectangle(Rect(100, 100, 0, 50));     // no width
    encoder.addDirtyRectangle(Rect(5000, 0, 10, 10));     // outside every display
    encoder.addDirtyRectangle(Rect(0, -150, 10, 10));     // above the primary, left of the side
    EXPECT_EQ(primary->rectManager()->newArrayOfDirtyRectangles(),
              (std::vector<KLRect>{{Rect(1400, 100, 40, 50), false, {}}}));
    EXPECT_EQ(side->rectManager()->newArrayOfDirtyRectangles(),
              (std::vector<KLRect>{{Rect(1440, 100, 60, 50), false, {}}}));

    primary->lossyRects()->addRectangle(Rect(0, 0, 5, 5));
    encoder.clearRectangles();
    EXPECT_TRUE(primary->rectManager()->rectangleQueue().empty());
    EXPECT_EQ(primary->lossyRects()->count(), 0u);
}

TEST(X11Displays, ModesOfTheServerAndTheModeTable) {
    KL_START_XVFB(xvfb, 1440, 900);
    auto screens = KLTScreen::screens();
    ASSERT_EQ(screens.size(), 1u);
    auto modes = KLTScreen::modesForDisplayID(screens[0]->displayID(), true, true);
    ASSERT_TRUE(modes);
    ASSERT_FALSE(modes->empty());
    for (size_t i = 1; i < modes->size(); ++i) EXPECT_LE(CompareModes((*modes)[i - 1], (*modes)[i]), 0);
    EXPECT_EQ(KLTScreen::findBestModeForDisplayID(screens[0]->displayID())->uintOr("Width", 0),
              (*modes)[0].uintOr("Width", 0));
    EXPECT_TRUE(KLTScreen::modesForDisplayID(screens[0]->displayID(), false, true)->empty());

    const struct {
        int mode;
        Size size;
    } sizes[] = {{0, {0, 0}}, {7, {1, 1}}, {66, {800, 1200}}, {67, {0, 0}}, {-1, {0, 0}}};
    for (const auto& s : sizes) EXPECT_EQ(sizeOfMode(s.mode), s.size) << s.mode;
    EXPECT_EQ(displayModeForSize({1024, 768}), 1u);
    EXPECT_EQ(displayModeForSize({0, 0}), 0u);
    EXPECT_EQ(displayModeForSize({1, 1}), 7u);
    EXPECT_EQ(displayModeForSize({1025, 768}), 0u);
    EXPECT_EQ(compatibleModesForiPhoneRetinaDisplayWithOrientation(1, true, true), std::vector<int>{60});
    EXPECT_EQ(compatibleModesForiPadRetinaDisplayWithOrientation(0, true), std::vector<int>{55});

    Value wide(Dictionary{{"Width", Value(1920u)}, {"Height", Value(1080u)}, {"BitsPerPixel", Value(32u)}});
    Value narrow(Dictionary{{"Width", Value(1440u)}, {"Height", Value(900u)}, {"BitsPerPixel", Value(32u)}});
    Value stretched(Dictionary{{"Width", Value(1440u)}, {"Height", Value(900u)}, {"BitsPerPixel", Value(32u)},
                               {"kCGDisplayModeIsStretched", Value(true)}, {"kCGDisplayResolution", Value(1.0)}});
    EXPECT_EQ(CompareModes(wide, narrow), -1);
    EXPECT_EQ(CompareModes(narrow, narrow), 0);
    EXPECT_EQ(CompareModes(narrow, stretched), -1);
    EXPECT_EQ(CompareModes(stretched, stretched), 1);  // equal resolutions never compare equal

    EXPECT_EQ(packSystemVersion("12.5"), 0x0C0500u);
    EXPECT_EQ(packSystemVersion("10.6.0"), 0x0A0600u);
    EXPECT_EQ(packSystemVersion("trixie/sid"), 0x0A0000u);
}

TEST(X11Displays, ProtocolErrorsAreRecordedOnTheirOwnConnection) {
    KL_START_XVFB(xvfb, 320, 240);
    auto first = X11Connection::open(), second = X11Connection::open();
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(x11MoveWindow(*first, 0x7FFFFF, 1, 1));  // no such window: BadWindow, no exit
    EXPECT_FALSE(x11WindowInfo(*first, 0x7FFFFF));
    EXPECT_EQ(second->syncAndTakeError(), 0);
    EXPECT_EQ(first->syncAndTakeError(), 0);  // taken by the calls that caused them
    EXPECT_FALSE(x11Monitors(*first).empty());
}

TEST(X11Displays, ALostServerEndsTheProcessCleanly) {
    KL_START_XVFB(xvfb, 320, 240);
    EXPECT_EXIT(
        {
            auto connection = X11Connection::open();
            ::kill(xvfb.pid(), SIGKILL);
            ::waitpid(xvfb.pid(), nullptr, 0);
            connection->syncAndTakeError();
            std::_Exit(3);  // not reached: the lost connection ends the process first
        },
        ::testing::ExitedWithCode(0), "X server connection lost");
}

TEST(X11Displays, EdidNamesAndFramebufferIndex) {
    uint8_t edid[128] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    uint32_t serial = 0x99730003;
    std::memcpy(edid + 12, &serial, 4);
    const uint8_t name[] = {0, 0, 0, 0xFC, 0, 'K', 'L', ' ', 'P', 'a', 'n', 'e', 'l', 0x0A, ' ', ' ', ' ', ' '};
    std::memcpy(edid + 72, name, sizeof name);
    auto info = parseEdid(edid, sizeof edid);
    EXPECT_TRUE(info.hasEdid);
    EXPECT_EQ(info.productName, "KL Panel");
    EXPECT_EQ(info.serial, serial);
    EXPECT_FALSE(parseEdid(edid, 100).hasEdid);
    edid[1] = 0;
    EXPECT_FALSE(parseEdid(edid, sizeof edid).hasEdid);
}

}  // namespace
}  // namespace kl::test

// Pointer input on a recording target with a hand-driven clock: the tap's click correction,
// contextual taps, mouse buttons per slot, scroll-wheel gestures, and pixel scrolling turned into
// wheel clicks with the remainder kept.
#include <gtest/gtest.h>

#include "InputTestSupport.h"
#include "screen/KLGeometryHelpers.h"
#include "screen/input/PointerEventInjector.h"

namespace kl {
namespace {

using namespace kl::test;
using Action = RecordingPointer::Action;

struct PointerFixture : ::testing::Test {
    RecordingPointer pointer;
    double now = 100.0;
    PointerEventInjector injector{pointer, [this] { return now; }};

    void SetUp() override {
        setDoubleClickIntervalSource([] { return std::optional<double>(0.4); });
    }
    void TearDown() override { setDoubleClickIntervalSource({}); }
    void tapAt(uint8_t type, uint16_t x, uint16_t y) { injector.handleTap({type, x, y, std::nullopt, 0}, false, false); }
    void mouse(uint8_t buttons, int16_t x, int16_t y) { injector.handleMouse({buttons, x, y}); }
    std::vector<unsigned> wheelClicks(float h, float v, bool reverse) {
        pointer.actions.clear();
        injector.handleScroll({h, v}, reverse);
        return pointer.pressedButtons();
    }
};

TEST_F(PointerFixture, ATapUpCloseToItsDownLandsOnTheDownPosition) {
    struct Case {
        double after;
        uint16_t upX;
        Point expectedUp;
    } cases[] = {
        {0.1, 105, {100, 200}},  // 5 points away within 0.2 s: moved onto the down position
        {0.1, 115, {115, 200}},  // 15 points away: stays
        {0.3, 105, {105, 200}},  // too late: stays
    };
    for (const auto& c : cases) {
        pointer.actions.clear();
        now += 10;  // far from any earlier tap
        tapAt(0, 100, 200);
        now += c.after;
        tapAt(2, c.upX, 200);
        EXPECT_EQ(pointer.pressAt(1), (Point{100, 200}));
        EXPECT_EQ(pointer.releaseAt(1), c.expectedUp) << c.after << " s, x " << c.upX;
    }
}

TEST_F(PointerFixture, TheSecondClickOfADoubleClickIsNotMoved) {
    tapAt(0, 100, 200);
    now += 0.05;
    tapAt(2, 100, 200);
    now += 0.1;
    tapAt(0, 108, 200);  // within the double-click interval and 20 points of the last up
    pointer.actions.clear();
    now += 0.05;
    tapAt(2, 106, 200);
    EXPECT_EQ(pointer.releaseAt(1), (Point{106, 200}));
}

TEST_F(PointerFixture, ViewerPixelsAreScaledAndShiftedToTheDesktop) {
    injector.setGeometry({2.0, {-100, 50}});
    tapAt(0, 301, 101);
    EXPECT_EQ(pointer.pressAt(1), (Point{50, 100}));  // trunc(301 / 2) - 100, trunc(101 / 2) + 50
    tapAt(1, 401, 101);
    EXPECT_EQ(pointer.actions.back(), (Action{Action::Move, {100, 100}, 0}));
}

TEST_F(PointerFixture, ContextualTapsUseTheRightButton) {
    tapAt(3, 10, 20);
    tapAt(4, 12, 22);
    tapAt(5, 14, 24);
    EXPECT_EQ(pointer.pressAt(3), (Point{10, 20}));
    EXPECT_EQ(pointer.releaseAt(3), (Point{14, 24}));
    tapAt(9, 1, 1);  // unknown tap types do nothing
    EXPECT_EQ(pointer.actions.size(), 5u);
}

TEST_F(PointerFixture, MouseButtonsPerSlot) {
    mouse(0, 10, 10);
    EXPECT_EQ(pointer.actions, (std::vector<Action>{{Action::Move, {10, 10}, 0}, {Action::Move, {10, 10}, 0}}));
    pointer.actions.clear();
    mouse(2, 20, 20);  // right pressed
    mouse(2, 30, 30);  // right held: a drag
    mouse(3, 40, 40);  // left pressed too
    mouse(1, 50, 50);  // right released, left held
    mouse(0, 60, 60);
    EXPECT_EQ(pointer.pressAt(3), (Point{20, 20}));
    EXPECT_EQ(pointer.pressAt(1), (Point{40, 40}));
    EXPECT_EQ(pointer.releaseAt(3), (Point{50, 50}));
    EXPECT_EQ(pointer.releaseAt(1), (Point{60, 60}));
    EXPECT_NE(std::find(pointer.actions.begin(), pointer.actions.end(), Action{Action::Move, {30, 30}, 0}),
              pointer.actions.end());
}

TEST_F(PointerFixture, ScrollingTurnsPixelsIntoWheelClicksKeepingTheRest) {
    // (0, 3.7) is 3 whole points, 6 pixels: one click down (negated without reverse), 1 pixel left.
    EXPECT_EQ(wheelClicks(0, 3.7f, false), (std::vector<unsigned>{5}));
    // The kept pixel and 4 more make the next click.
    EXPECT_EQ(wheelClicks(0, 2.0f, false), (std::vector<unsigned>{5}));
    EXPECT_EQ(wheelClicks(0, 0.9f, false), std::vector<unsigned>{});
    // Reverse scrolling turns the direction; horizontal deltas use buttons 6 and 7.
    injector.reset();
    EXPECT_EQ(wheelClicks(0, 3.7f, true), (std::vector<unsigned>{4}));
    injector.reset();
    EXPECT_EQ(wheelClicks(5.0f, 0, false), (std::vector<unsigned>{7, 7}));
    injector.reset();
    EXPECT_EQ(wheelClicks(-5.0f, 0, false), (std::vector<unsigned>{6, 6}));
}

TEST_F(PointerFixture, HostileScrollDeltasStayBounded) {
    EXPECT_EQ(wheelClicks(0, 1e30f, false).size(), size_t(kMaxWheelClicksPerDatagram));
    injector.reset();
    EXPECT_TRUE(wheelClicks(std::nanf(""), std::numeric_limits<float>::infinity(), false).empty());
}

TEST_F(PointerFixture, ScrollwheelGestureMovesThereAndBack) {
    injector.setGeometry({2.0, {10, 10}});
    pointer.position = {500, 400};
    injector.handleTap({6, 100, 100, std::nullopt, 0}, false, false);
    EXPECT_EQ(pointer.actions.back(), (Action{Action::Move, {110, 110}, 0}));  // not divided by the scale
    injector.handleTap({7, 0, 5, std::nullopt, 0}, false, false);
    EXPECT_EQ(pointer.pressedButtons(), (std::vector<unsigned>{5, 5}));
    injector.handleTap({7, 0, uint16_t(-5), std::nullopt, 0}, false, false);  // deltas are signed
    EXPECT_EQ(pointer.pressedButtons(), (std::vector<unsigned>{5, 5, 4, 4}));
    injector.handleTap({8, 0, 0, std::nullopt, 0}, false, false);
    EXPECT_EQ(pointer.actions.back(), (Action{Action::Move, {500, 400}, 0}));

    pointer.actions.clear();
    injector.handleTap({6, 100, 100, std::nullopt, 0}, false, true);
    injector.handleTap({8, 0, 0, std::nullopt, 0}, false, true);
    EXPECT_TRUE(pointer.actions.empty());
}

}  // namespace
}  // namespace kl

#include "screen/input/PointerEventInjector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "screen/KLGeometryHelpers.h"

namespace kl {

namespace {

constexpr unsigned kLeftButton = 1, kRightButton = 3;
constexpr unsigned kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

enum TapType : uint8_t {
    kPrimaryDown = 0,
    kPrimaryDrag = 1,
    kPrimaryUp = 2,
    kContextualDown = 3,
    kContextualUp = 5,
    kScrollwheelBegin = 6,
    kScrollwheelScroll = 7,
    kScrollwheelEnd = 8,
};

}  // namespace

PointerEventInjector::PointerEventInjector(PointerInjectionTarget& target, std::function<double()> now)
    : target_(target), now_(std::move(now)) {}

void PointerEventInjector::reset() {
    lastTapUp_ = lastTapDown_ = {};
    lastMouseUp_[0] = lastMouseUp_[1] = lastMouseDown_[0] = lastMouseDown_[1] = {};
    savedMouseFlags_ = 0;
    savedScrollwheelPosition_.reset();
    wheelRemainder_[0] = wheelRemainder_[1] = 0;
}

Point PointerEventInjector::convert(double x, double y) const {
    double scale = geometry_.scale > 0 ? geometry_.scale : 1.0;
    return {std::trunc(x / scale) + geometry_.origin.x, std::trunc(y / scale) + geometry_.origin.y};
}

void PointerEventInjector::handleTap(const TapEventMessage& tap, bool reverseScrolling, bool dontMoveForScrollwheel) {
    if (tap.tapType <= kPrimaryUp)
        primaryTap(tap);
    else if (tap.tapType <= kContextualUp)
        contextualTap(tap);
    else if (tap.tapType <= kScrollwheelEnd)
        scrollwheelTap(tap, reverseScrolling, dontMoveForScrollwheel);
}

void PointerEventInjector::primaryTap(const TapEventMessage& tap) {
    Point p = convert(tap.x, tap.y);
    Point posted = p;
    if (tap.tapType != kPrimaryDrag) {
        double t = now_();
        // X clients count double clicks themselves; what stays is the position correction, which a
        // second click of a double click does not get.
        bool doubleClick = isDoubleClick(t - lastTapUp_.time) &&
                           CGPointProximateWithin(p, lastTapUp_.position, kDoubleClickProximityDistance);
        if (!doubleClick && tap.tapType == kPrimaryUp && t - lastTapDown_.time < kSingleClickTimeDuration &&
            CGPointProximateWithin(p, lastTapDown_.position, kSingleClickProximityDistance))
            posted = lastTapDown_.position;
        if (tap.tapType == kPrimaryUp)
            lastTapUp_ = {t, p};
        else
            lastTapDown_ = {t, p};
    }
    target_.moveTo(posted);
    if (tap.tapType == kPrimaryDown) target_.button(kLeftButton, true);
    if (tap.tapType == kPrimaryUp) target_.button(kLeftButton, false);
}

void PointerEventInjector::contextualTap(const TapEventMessage& tap) {
    target_.moveTo(convert(tap.x, tap.y));
    if (tap.tapType == kContextualDown) target_.button(kRightButton, true);
    if (tap.tapType == kContextualUp) target_.button(kRightButton, false);
}

void PointerEventInjector::scrollwheelTap(const TapEventMessage& tap, bool reverse, bool dontMove) {
    switch (tap.tapType) {
        case kScrollwheelBegin:
            if (dontMove) return;
            savedScrollwheelPosition_ = target_.pointerPosition();
            // Gesture positions are not divided by the scale.
            target_.moveTo({geometry_.origin.x + tap.x, geometry_.origin.y + tap.y});
            return;
        case kScrollwheelScroll: {
            int dx = int16_t(tap.x), dy = int16_t(tap.y);
            int sign = reverse ? 1 : -1;
            postWheel(sign * 2 * dy, sign * 2 * dx);
            return;
        }
        default:
            if (dontMove || !savedScrollwheelPosition_) return;
            target_.moveTo(*savedScrollwheelPosition_);
            savedScrollwheelPosition_.reset();
    }
}

void PointerEventInjector::handleMouse(const MouseEventMessage& mouse) {
    Point p = convert(mouse.x, mouse.y);
    double t = now_();
    for (int slot = 0; slot < 2; ++slot) {
        uint8_t bit = uint8_t(1 << slot);
        bool held = mouse.buttons & bit, was = savedMouseFlags_ & bit;
        unsigned button = slot == 0 ? kLeftButton : kRightButton;
        if (held == was) {
            // A drag with this button held, a move with none held; nothing while only the other is.
            if (held || (mouse.buttons & 3) == 0) target_.moveTo(p);
            continue;
        }
        target_.moveTo(p);
        target_.button(button, held);
        (held ? lastMouseDown_[slot] : lastMouseUp_[slot]) = {t, p};
    }
    savedMouseFlags_ = mouse.buttons;
}

void PointerEventInjector::handleScroll(const ScrollEventMessage& scroll, bool reverseScrolling) {
    auto whole = [](float f) -> int {
        if (!std::isfinite(f)) return 0;
        return int(int16_t(std::clamp(std::trunc(double(f)), -32768.0, 32767.0)));
    };
    int sign = reverseScrolling ? 1 : -1;
    postWheel(sign * 2 * whole(scroll.vertical), sign * 2 * whole(scroll.horizontal));
}

void PointerEventInjector::postWheel(int wheel1, int wheel2) {
    postClicks(wheelRemainder_[0], wheel1, kWheelUp, kWheelDown);
    postClicks(wheelRemainder_[1], wheel2, kWheelLeft, kWheelRight);
}

void PointerEventInjector::postClicks(int& remainder, int pixels, unsigned positiveButton, unsigned negativeButton) {
    remainder += pixels;
    int clicks = remainder / kPixelsPerWheelClick;  // toward zero: the rest keeps its sign
    remainder -= clicks * kPixelsPerWheelClick;
    unsigned button = clicks > 0 ? positiveButton : negativeButton;
    for (int i = 0; i < std::min(std::abs(clicks), kMaxWheelClicksPerDatagram); ++i) {
        target_.button(button, true);
        target_.button(button, false);
    }
}

}  // namespace kl

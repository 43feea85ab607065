// Pointer input of the viewer on the host: taps (primary with the click correction, contextual,
// scroll-wheel gestures), mouse buttons per slot, and scrolling in pixels turned into wheel clicks.
// Used only from the input thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "screen/KLGeometry.h"
#include "screen/input/PointerInjectionTarget.h"
#include "screen/protocol/InputDatagrams.h"

namespace kl {

inline constexpr double kSingleClickTimeDuration = double(0.2f);
inline constexpr double kDoubleClickProximityDistance = 20.0;
inline constexpr double kSingleClickProximityDistance = 10.0;
// Pixels of scrolling per wheel click; what is left over waits for the next scroll.
inline constexpr int kPixelsPerWheelClick = 5;
// More clicks than this from one datagram are left out (a forged delta must not flood the server).
inline constexpr int kMaxWheelClicksPerDatagram = 50;

class PointerEventInjector {
public:
    struct Geometry {
        double scale = 1.0;
        Point origin;  // of the display set's scale-corrected bounds
    };

    // now: seconds on a monotonic clock.
    PointerEventInjector(PointerInjectionTarget& target, std::function<double()> now);

    void setGeometry(Geometry geometry) { geometry_ = geometry; }
    // Forgets the click timing, saved positions and scroll remainders (a new viewer).
    void reset();

    void handleTap(const TapEventMessage& tap, bool reverseScrolling, bool dontMoveForScrollwheel);
    void handleMouse(const MouseEventMessage& mouse);
    void handleScroll(const ScrollEventMessage& scroll, bool reverseScrolling);

    Point convert(double x, double y) const;

private:
    void primaryTap(const TapEventMessage& tap);
    void contextualTap(const TapEventMessage& tap);
    void scrollwheelTap(const TapEventMessage& tap, bool reverse, bool dontMove);
    // Wheel deltas in pixels: wheel 1 vertical (positive up), wheel 2 horizontal (positive left).
    void postWheel(int wheel1, int wheel2);
    void postClicks(int& remainder, int pixels, unsigned positiveButton, unsigned negativeButton);

    struct Stamp {
        double time = -1e9;
        Point position;
    };

    PointerInjectionTarget& target_;
    std::function<double()> now_;
    Geometry geometry_;
    Stamp lastTapUp_, lastTapDown_;
    Stamp lastMouseUp_[2], lastMouseDown_[2];
    uint8_t savedMouseFlags_ = 0;
    std::optional<Point> savedScrollwheelPosition_;
    int wheelRemainder_[2] = {0, 0};
};

}  // namespace kl

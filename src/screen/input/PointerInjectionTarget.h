// Where synthetic pointer input goes: absolute moves and button presses (X numbering: 1 left,
// 3 right, 4-7 wheel up, down, left, right), in global display coordinates.
#pragma once

#include <optional>

#include "screen/KLGeometry.h"

namespace kl {

class PointerInjectionTarget {
public:
    virtual ~PointerInjectionTarget() = default;
    virtual void moveTo(Point p) = 0;
    virtual void button(unsigned button, bool down) = 0;
    virtual std::optional<Point> pointerPosition() = 0;
};

}  // namespace kl

// Synthetic keys and pointer input through XTEST on the calling thread's X connection.
#pragma once

#include "screen/input/KeyInjectionTarget.h"
#include "screen/input/PointerInjectionTarget.h"

namespace kl {

class X11InputTarget : public KeyInjectionTarget, public PointerInjectionTarget {
public:
    void postKey(uint16_t keycode, bool down) override;
    void moveTo(Point p) override;
    void button(unsigned button, bool down) override;
    std::optional<Point> pointerPosition() override;
};

}  // namespace kl

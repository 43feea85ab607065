// Where synthetic key presses go: X keycodes, pressed or released, in order.
#pragma once

#include <cstdint>

namespace kl {

class KeyInjectionTarget {
public:
    virtual ~KeyInjectionTarget() = default;
    virtual void postKey(uint16_t keycode, bool down) = 0;
};

}  // namespace kl

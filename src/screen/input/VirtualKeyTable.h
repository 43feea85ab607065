// The viewer's virtual key numbers are key positions on a US (ANSI) keyboard. Each maps to the XKB
// name of the key at that position, which the host's keymap resolves to a keycode whatever the
// layout types there.
#pragma once

#include <cstdint>

namespace kl {

// Virtual keys of the modifiers and of the keys the injection presses itself.
enum VirtualKey : uint16_t {
    kVirtualKeyA = 0,
    kVirtualKeyV = 9,
    kVirtualKeyReturn = 36,
    kVirtualKeyDelete = 51,
    kVirtualKeyCommand = 55,
    kVirtualKeyShift = 56,
    kVirtualKeyCapsLock = 57,
    kVirtualKeyOption = 58,
    kVirtualKeyControl = 59,
    kVirtualKeyLeftArrow = 123,
    kVirtualKeyRightArrow = 124,
    kVirtualKeyDownArrow = 125,
    kVirtualKeyUpArrow = 126,
};

// The XKB key name at a virtual key's position; null for numbers without a key. Command is the
// left Control key (the shortcut modifier of Linux desktops), Option the left Alt key.
const char* xkbKeyNameForVirtualKey(uint16_t virtualKey);

}  // namespace kl

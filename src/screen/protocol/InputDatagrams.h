// Datagrams of the input sideband (viewer to service). Every datagram is checked against its
// type's layout before any field is read: a short one is refused whole, never read in part.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace kl {

// Tap (type 2): the modifier byte and the byte after it exist only in an 8-byte datagram.
struct TapEventMessage {
    uint8_t tapType = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    std::optional<uint8_t> modifiers;
    uint8_t extra = 0;
};

// KeyboardEventMessage.kind
enum KeyboardEventKind : uint8_t {
    kKeyboardEventCharacter = 0,
    kKeyboardEventKeyCode = 1,
    kKeyboardEventCursor = 2,
    kKeyboardEventSelection = 3,
    kKeyboardEventDeletion = 4,
    kKeyboardEventPasteboard = 5,
};

// Keyboard (type 3). value is the UTF-16 unit or virtual key (16 bits at offset 5) for kinds 0
// and 1, the sub-code (32 bits at offset 5) for kinds 2, 3 and 5, and 0 otherwise.
struct KeyboardEventMessage {
    uint8_t kind = 0;
    uint8_t shiftState = 0;  // 4 = shifted
    uint8_t modifiers = 0;   // MessageEventFlags
    uint32_t value = 0;
};

// Window request (type 5): the process id sits in the low 32 bits of applicationID.
struct WindowRequestMessage {
    uint64_t applicationID = 0;
    uint64_t windowID = 0;
};

// Mouse (type 6): bit 0 left, bit 1 right; viewer pixels.
struct MouseEventMessage {
    uint8_t buttons = 0;
    int16_t x = 0;
    int16_t y = 0;
};

// Scroll (type 7): bytes 1-4 are not part of it.
struct ScrollEventMessage {
    float horizontal = 0;
    float vertical = 0;
};

// Menu request (type 8).
struct MenuRequestMessage {
    uint64_t elementHandle = 0;
    uint64_t applicationID = 0;
};

using InputDatagram = std::variant<TapEventMessage, KeyboardEventMessage, WindowRequestMessage,
                                   MouseEventMessage, ScrollEventMessage, MenuRequestMessage>;

struct InputDatagramRead {
    enum Refusal {
        None,
        Empty,
        UnhandledType,  // outside 2-8, or 4
        TooShort,       // shorter than the type's layout
    };
    std::optional<InputDatagram> datagram;
    Refusal refusal = None;
    uint8_t type = 0;
    size_t length = 0;

    explicit operator bool() const { return datagram.has_value(); }
    // The line a refused datagram is logged with.
    std::string refusalText() const;
};

InputDatagramRead readInputDatagram(std::span<const uint8_t> bytes);

}  // namespace kl

#include "screen/protocol/InputDatagrams.h"

#include "screen/protocol/ScreenProtocol.h"
#include "screen/protocol/ScreenWireReader.h"

namespace kl {

namespace {

constexpr size_t kTapSize = 6;
constexpr size_t kTapWithModifiersSize = 8;
constexpr size_t kKeyboardHeaderSize = 5;
constexpr size_t kIdentifierPairSize = 17;  // window and menu requests
constexpr size_t kMouseSize = 6;
constexpr size_t kScrollSize = 13;

// Bytes a keyboard datagram must hold for the fields its kind reads.
size_t keyboardLength(uint8_t kind) {
    switch (kind) {
        case kKeyboardEventCharacter:
        case kKeyboardEventKeyCode: return kKeyboardHeaderSize + 2;
        case kKeyboardEventCursor:
        case kKeyboardEventSelection:
        case kKeyboardEventPasteboard: return kKeyboardHeaderSize + 4;
        case kKeyboardEventDeletion: return kKeyboardHeaderSize;
        default: return 2;  // unknown kinds are ignored after the kind byte
    }
}

size_t layoutLength(const ScreenWireReader& in) {
    switch (in.u8(0)) {
        case kTapEventMsg: return kTapSize;
        case kKeyboardEventMsg: return in.fits(2) ? keyboardLength(in.u8(1)) : 2;
        case kWindowRequestMsg:
        case kMenuRequestMsg: return kIdentifierPairSize;
        case kMouseEventMsg: return kMouseSize;
        case kScrollEventMsg: return kScrollSize;
        default: return 0;
    }
}

InputDatagram decode(const ScreenWireReader& in) {
    switch (in.u8(0)) {
        case kTapEventMsg: {
            TapEventMessage tap{in.u8(1), in.u16(2), in.u16(4), std::nullopt, 0};
            if (in.size() == kTapWithModifiersSize) {
                tap.modifiers = in.u8(6);
                tap.extra = in.u8(7);
            }
            return tap;
        }
        case kKeyboardEventMsg: {
            KeyboardEventMessage key{in.u8(1), in.u8(2), in.u8(3), 0};
            if (key.kind == kKeyboardEventCharacter || key.kind == kKeyboardEventKeyCode) {
                key.value = in.u16(5);
            } else if (keyboardLength(key.kind) == kKeyboardHeaderSize + 4) {
                key.value = in.u32(5);
            }
            return key;
        }
        case kWindowRequestMsg: return WindowRequestMessage{in.u64(1), in.u64(9)};
        case kMouseEventMsg: return MouseEventMessage{in.u8(1), in.i16(2), in.i16(4)};
        case kScrollEventMsg: return ScrollEventMessage{in.f32(5), in.f32(9)};
        default: return MenuRequestMessage{in.u64(1), in.u64(9)};  // the last type layoutLength admits
    }
}

}  // namespace

InputDatagramRead readInputDatagram(std::span<const uint8_t> bytes) {
    InputDatagramRead read;
    read.length = bytes.size();
    if (bytes.empty()) {
        read.refusal = InputDatagramRead::Empty;
        return read;
    }
    const ScreenWireReader in(bytes);
    read.type = in.u8(0);
    const size_t needed = layoutLength(in);
    if (needed == 0) {
        read.refusal = InputDatagramRead::UnhandledType;
    } else if (!in.fits(needed)) {
        read.refusal = InputDatagramRead::TooShort;
    } else {
        read.datagram = decode(in);
    }
    return read;
}

std::string InputDatagramRead::refusalText() const {
    switch (refusal) {
        case None: return {};
        case Empty: return "Received an empty datagram from the client.";
        case UnhandledType:
            return "Received unhandled message from the client.  Type = " + std::to_string(type);
        case TooShort:
            return "Received a short message from the client.  Type = " + std::to_string(type) +
                   ", length = " + std::to_string(length);
    }
    return {};
}

}  // namespace kl

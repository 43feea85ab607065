#include "screen/input/KLTHostKeyboardEvent.h"

#include <utility>

#include "foundation/KLTLogging.h"
#include "screen/input/VirtualKeyTable.h"

namespace kl {

namespace {

constexpr uint8_t kShiftedState = 4;

// Cursor and selection sub-codes 1-4: up, down, left, right.
uint16_t arrowForSubCode(uint32_t subCode) {
    switch (subCode) {
        case 1: return kVirtualKeyUpArrow;
        case 2: return kVirtualKeyDownArrow;
        case 3: return kVirtualKeyLeftArrow;
        case 4: return kVirtualKeyRightArrow;
        default: return 0;
    }
}

}  // namespace

KLTHostKeyboardEvent::KLTHostKeyboardEvent(const KeyboardEventMessage& message, KLTKeyCodeUtilities& utilities,
                                           std::function<bool()> dontSend)
    : message_(message), utilities_(utilities), dontSend_(std::move(dontSend)) {}

void KLTHostKeyboardEvent::sendSynthesizedEvent() {
    if (dontSend_ && dontSend_()) {
        KLLog(kKLTLoggingLevelInfo, "Debugging Flag prevented us from sending KB Events (KLTDebuggingDontSendKBEvents).");
        return;
    }
    switch (message_.kind) {
        case kKeyboardEventCharacter: sendSynthesizedUnicharEvent(); break;
        case kKeyboardEventKeyCode: sendSynthesizedKeyCodeEvent(); break;
        case kKeyboardEventCursor: sendSynthesizedCursorEvent(); break;
        case kKeyboardEventSelection: sendSynthesizedSelectionEvent(); break;
        case kKeyboardEventDeletion: sendSynthesizedDeletionEvent(); break;
        case kKeyboardEventPasteboard: sendSynthesizedPasteboardEvent(); break;
        default: break;
    }
}

void KLTHostKeyboardEvent::postModifiersKeyDown(bool down) { utilities_.postModifiers(message_.modifiers, down); }

void KLTHostKeyboardEvent::tapVirtualKey(uint16_t virtualKey) {
    utilities_.postVirtualKey(virtualKey, true);
    utilities_.postVirtualKey(virtualKey, false);
}

void KLTHostKeyboardEvent::postForcedCursorRight() {
    if (!forceCursorRightEvent) return;
    tapVirtualKey(kVirtualKeyRightArrow);
    forceCursorRightEvent = false;
}

void KLTHostKeyboardEvent::sendSynthesizedUnicharEvent() {
    if (!utilities_.sawCharacterEvent) {
        utilities_.sawCharacterEvent = true;
        utilities_.useCompatibleModeForPostString = true;
    }
    uint16_t unit = uint16_t(message_.value);
    if (message_.modifiers != 0) {
        auto steps = utilities_.keyCodesForUniChar(unit, message_.shiftState == kShiftedState);
        if (!steps || steps->empty()) return;
        postForcedCursorRight();
        postModifiersKeyDown(true);
        utilities_.postSteps(*steps);
        postModifiersKeyDown(false);
        return;
    }
    // A character outside the basic plane comes as two datagrams; either half alone would type or
    // paste a replacement character.
    std::u16string text(1, char16_t(unit));
    std::optional<char16_t> high = std::exchange(utilities_.pendingHighSurrogate, std::nullopt);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        utilities_.pendingHighSurrogate = char16_t(unit);
        return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (!high) return;
        text.insert(text.begin(), *high);
    }
    postForcedCursorRight();
    utilities_.useCGEventPost = true;
    utilities_.postString(text);
}

void KLTHostKeyboardEvent::sendSynthesizedKeyCodeEvent() {
    postModifiersKeyDown(true);
    postForcedCursorRight();
    tapVirtualKey(uint16_t(message_.value));
    postModifiersKeyDown(false);
}

void KLTHostKeyboardEvent::sendSynthesizedCursorEvent() {
    uint16_t arrow = arrowForSubCode(message_.value);
    if (!arrow) return;
    postModifiersKeyDown(true);
    tapVirtualKey(arrow);
    postModifiersKeyDown(false);
}

void KLTHostKeyboardEvent::sendSynthesizedSelectionEvent() {
    if (uint16_t arrow = arrowForSubCode(message_.value)) {
        utilities_.postVirtualKey(kVirtualKeyShift, true);
        tapVirtualKey(arrow);
        utilities_.postVirtualKey(kVirtualKeyShift, false);
    } else if (message_.value == 5) {  // select all
        utilities_.postVirtualKey(kVirtualKeyCommand, true);
        if (auto steps = utilities_.keyCodesForUniChar(u'a', false)) utilities_.postSteps(*steps);
        utilities_.postVirtualKey(kVirtualKeyCommand, false);
    }
}

void KLTHostKeyboardEvent::sendSynthesizedDeletionEvent() {
    postModifiersKeyDown(true);
    tapVirtualKey(kVirtualKeyDelete);
    postModifiersKeyDown(false);
}

void KLTHostKeyboardEvent::sendSynthesizedPasteboardEvent() {
    static constexpr char16_t letters[] = {u'x', u'c', u'v', u'z'};  // cut, copy, paste, undo
    if (message_.value < 1 || message_.value > 4) return;
    auto steps = utilities_.keyCodesForUniChar(letters[message_.value - 1], false);
    if (!steps || steps->empty()) return;
    utilities_.postVirtualKey(kVirtualKeyCommand, true);
    utilities_.postSteps(*steps);
    utilities_.postVirtualKey(kVirtualKeyCommand, false);
}

}  // namespace kl

// KLTHostKeyboardEvent: one keyboard datagram of the viewer turned into key events on the host: a
// typed character, a raw key, a cursor move, a selection step, a deletion or an editing command.
#pragma once

#include <functional>

#include "screen/input/KLTKeyCodeUtilities.h"
#include "screen/protocol/InputDatagrams.h"

namespace kl {

class KLTHostKeyboardEvent {
public:
    // dontSend: the debugging switch that suppresses every key event, read per datagram.
    KLTHostKeyboardEvent(const KeyboardEventMessage& message, KLTKeyCodeUtilities& utilities,
                         std::function<bool()> dontSend = {});

    bool isValid() const { return true; }
    void sendSynthesizedEvent();

    // When set, a Right-arrow press and release goes before the event (then it is cleared).
    bool forceCursorRightEvent = false;

    void sendSynthesizedUnicharEvent();
    void sendSynthesizedKeyCodeEvent();
    void sendSynthesizedCursorEvent();
    void sendSynthesizedSelectionEvent();
    void sendSynthesizedDeletionEvent();
    void sendSynthesizedPasteboardEvent();
    void postModifiersKeyDown(bool down);

private:
    void postForcedCursorRight();
    void tapVirtualKey(uint16_t virtualKey);

    KeyboardEventMessage message_;
    KLTKeyCodeUtilities& utilities_;
    std::function<bool()> dontSend_;
};

}  // namespace kl

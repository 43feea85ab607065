// KLTKeyCodeUtilities: key codes of the host's keyboard and the posting of key events: modifiers of
// a keyboard datagram, the keys that type one character, and whole strings, typed key by key
// through the layout mapper or pasted through the clipboard when an input-method server that
// rewrites typed keys is running. Used only from the input thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "platform/x11/X11KeyboardLayout.h"
#include "screen/input/KLTKeyboardLayoutMapper.h"
#include "screen/input/KeyInjectionTarget.h"
#include "screen/input/Pasteboard.h"

namespace kl {

// MessageEventFlags: exactly 1 means none; 0 selects the text path for characters.
enum MessageEventFlags : uint8_t {
    kMessageNoModifiers = 1,
    kMessageControl = 0x02,
    kMessageOption = 0x04,
    kMessageCommand = 0x08,
    kMessageShift = 0x20,
};

inline constexpr int kKeyCodeNotFound = -8761;

struct KeyCodeSearch {
    int status = kKeyCodeNotFound;  // 0 found
    uint16_t key = 0;
};

// The first key of the layout that types character in some table (dead keys' own characters
// included); "not found" for a layout without tables, never key 0.
KeyCodeSearch KLTGetKeyCodeForCharacter(const KeyboardLayoutTable& layout, uint16_t character);
// What key types with no modifier (a dead key's own character); 0 when nothing.
uint16_t KLTKeyCodeToUniChar(const KeyboardLayoutTable& layout, uint16_t key);

class KLTKeyCodeUtilities {
public:
    // The enabled keyboard taps as the event-tap inventory lists them (nothing: none installed).
    using TapInventory = std::function<std::optional<Array>()>;
    // Runs a task later on the main loop.
    using Scheduler = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

    struct Dependencies {
        KeyInjectionTarget* target = nullptr;
        std::shared_ptr<Pasteboard> pasteboard;  // null: the pasteboard method types key by key
        TapInventory tapInventory;
        Scheduler scheduler;
    };

    explicit KLTKeyCodeUtilities(Dependencies dependencies);

    // A new keymap: the tables and the mapper are made again from it.
    void setLayout(X11KeyboardLayout layout);
    const X11KeyboardLayout& layout() const { return layout_; }

    // Keycode at a virtual key's position; 0 when the keymap has no such key.
    uint16_t keycodeForVirtualKey(uint16_t virtualKey) const;
    void postVirtualKey(uint16_t virtualKey, bool down);
    void postKeycode(uint16_t keycode, bool down);
    void postSteps(const std::vector<KeyStep>& steps);
    // Control, Option, Command, Shift in this order, pressed or released; nothing for exactly 1.
    void postModifiers(uint8_t flags, bool keyDown);

    // Press and release of the key typing unit, inside Shift when that key gives another
    // character unmodified or shift is asked; nothing when no key types it.
    std::optional<std::vector<KeyStep>> keyCodesForUniChar(uint16_t unit, bool shift) const;

    void postString(const std::u16string& text);
    void setupPostStringMethodForBestCompatibility();

    bool useCGEventPost = false;
    bool usePasteboardForPostString = false;
    bool useCompatibleModeForPostString = false;
    bool sawCharacterEvent = false;
    // The first half of a character outside the basic plane, waiting for its second datagram.
    std::optional<char16_t> pendingHighSurrogate;

    // The bundled list of input-method servers that rewrite typed keys (program-name prefixes).
    static const std::vector<std::string>& incompatibleEventTappers();
    // Replaces the list (tests).
    void setIncompatibleEventTappers(std::vector<std::string> prefixes) { tappers_ = std::move(prefixes); }

private:
    void pasteString(const std::u16string& text);

    Dependencies deps_;
    X11KeyboardLayout layout_;
    std::unique_ptr<KLTKeyboardLayoutMapper> mapper_;
    std::optional<std::vector<std::string>> tappers_;
};

}  // namespace kl

// KLTKeyboardLayoutMapper: the key presses and releases, with the modifier keys around them, that
// type a text on one keyboard layout. It searches the layout's tables under a fixed order of
// modifier combinations, reaches characters behind dead keys, and types multi-unit outputs through
// the layout's sequences. Results per composed character are cached; the mapper never follows a
// later layout change (its owner makes a new one).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/x11/KeyboardLayoutTable.h"

namespace kl {

struct KeyStep {
    uint16_t key = 0;
    bool press = false;
    friend bool operator==(const KeyStep&, const KeyStep&) = default;
};

// A search result: the modifier combination to hold and the key to press.
struct ModifiersAndKey {
    uint16_t modifiers = 0;
    uint16_t key = 0;
    friend bool operator==(const ModifiersAndKey&, const ModifiersAndKey&) = default;
};

enum KeypadMode : int {
    kKeypadAny = 0,
    kKeypadOnly = 1,
    kKeypadNever = 2,
};

// The combinations tried, in order: none, Shift, Option, Control, Shift+Option, Shift+Control,
// Option+Control, Shift+Option+Control, Caps Lock.
inline constexpr uint16_t gPreferredModifierCombinations[] = {0, 2, 8, 16, 10, 18, 24, 26, 4};

class KLTKeyboardLayoutMapper {
public:
    explicit KLTKeyboardLayoutMapper(KeyboardLayoutTable layout);

    // The steps that type text (none when some character cannot be typed).
    std::vector<KeyStep> keycodesFromString(std::u16string_view text);

    void clearVirtualKeysToType();
    bool appendVirtualKeysToTypeString(std::u16string_view text, KeypadMode keypad);
    void appendPressReleaseVirtualkey(uint16_t key, bool press);
    void appendVirtualKeysToPressReleaseModifiers(uint16_t mask, bool press);
    void appendVirtualKeysToAdjustModifiers(uint16_t mask);
    void appendVirtualKeysToPressReleasePersistentModifiers(uint16_t mask, bool press);
    uint16_t persistentModifiers() const { return mPersistentModifiersMask; }
    const std::vector<KeyStep>& virtualKeysToType() const { return mVirtualKeysToType; }

    std::optional<std::vector<ModifiersAndKey>> modifiersAndVirtualKeysForString(std::u16string_view text, KeypadMode keypad);
    std::optional<std::vector<ModifiersAndKey>> modifiersAndVirtualKeysForComposedSequence(std::u16string_view sequence,
                                                                                           KeypadMode keypad);

    const KeyboardLayoutTable& layout() const { return mLayout; }

private:
    std::optional<ModifiersAndKey> getModifiersAndVirtualKeyForCharacter(uint16_t target, KeypadMode keypad) const;
    std::optional<ModifiersAndKey> getModifiersAndVirtualKeyForOutput(uint16_t output, KeypadMode keypad) const;
    template <class Matches>
    std::optional<ModifiersAndKey> searchTables(KeypadMode keypad, Matches matches) const;
    // The record and dead-key state in which some key types character.
    std::optional<std::pair<uint16_t, uint16_t>> getNewStateForCharacter(uint16_t character) const;
    // The dead key's record that leads to state.
    std::optional<uint16_t> getKeyStateIndexWithStateZeroNextState(uint16_t state) const;
    std::optional<uint16_t> getKeySequenceIndex(std::u16string_view sequence) const;
    bool looksLikeAnIndex(uint16_t unit) const;

    KeyboardLayoutTable mLayout;
    std::map<std::pair<std::u16string, int>, std::vector<ModifiersAndKey>> mKeyCache;
    std::vector<KeyStep> mVirtualKeysToType;
    uint16_t mPersistentModifiersMask = 0;
    uint16_t mLastImplicitModifiersMask = 0;
};

// UTF-8 to UTF-16 and back, for callers that hold text as UTF-8.
std::u16string utf16FromUtf8(std::string_view text);
std::string utf8FromUtf16(std::u16string_view text);

}  // namespace kl

#include "screen/input/KLTKeyboardLayoutMapper.h"

#include <unicode/ubrk.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <memory>

#include "foundation/KLTLogging.h"

namespace kl {

namespace {

using Table = KeyboardLayoutTable;

constexpr uint16_t kModifierOrder[] = {kLayoutCommand, kLayoutShift, kLayoutCapsLock, kLayoutOption, kLayoutControl};

std::optional<std::u16string> normalizedNFC(std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status)) return std::nullopt;
    std::u16string out(text.size() * 3 + 1, u'\0');
    int32_t length = unorm2_normalize(nfc, reinterpret_cast<const UChar*>(text.data()), int32_t(text.size()),
                                      reinterpret_cast<UChar*>(out.data()), int32_t(out.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    out.resize(length);
    return out;
}

// Boundaries of the composed character sequences (user-perceived characters) of text.
std::optional<std::vector<int32_t>> composedBoundaries(const std::u16string& text) {
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* it = ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar*>(text.data()),
                                   int32_t(text.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::vector<int32_t> bounds;
    for (int32_t b = ubrk_first(it); b != UBRK_DONE; b = ubrk_next(it)) bounds.push_back(b);
    ubrk_close(it);
    return bounds;
}

}  // namespace

KLTKeyboardLayoutMapper::KLTKeyboardLayoutMapper(KeyboardLayoutTable layout) : mLayout(std::move(layout)) {
    clearVirtualKeysToType();
    mKeyCache[{u"\n", kKeypadAny}] = {ModifiersAndKey{0, mLayout.returnKey}};
}

std::vector<KeyStep> KLTKeyboardLayoutMapper::keycodesFromString(std::u16string_view text) {
    clearVirtualKeysToType();
    appendVirtualKeysToTypeString(text, kKeypadAny);
    return mVirtualKeysToType;
}

void KLTKeyboardLayoutMapper::clearVirtualKeysToType() {
    mVirtualKeysToType.clear();
    mLastImplicitModifiersMask = 0;
}

void KLTKeyboardLayoutMapper::appendPressReleaseVirtualkey(uint16_t key, bool press) {
    mVirtualKeysToType.push_back({key, press});
}

void KLTKeyboardLayoutMapper::appendVirtualKeysToPressReleaseModifiers(uint16_t mask, bool press) {
    for (size_t i = 0; i < std::size(kModifierOrder); ++i) {
        if (!(mask & kModifierOrder[i])) continue;
        // A keymap without the modifier's key types the rest without it.
        if (uint16_t key = mLayout.modifierKeys[i]) appendPressReleaseVirtualkey(key, press);
    }
}

void KLTKeyboardLayoutMapper::appendVirtualKeysToAdjustModifiers(uint16_t mask) {
    uint16_t changed = mLastImplicitModifiersMask ^ mask;
    uint16_t free = uint16_t(~mPersistentModifiersMask);
    appendVirtualKeysToPressReleaseModifiers(uint16_t(~mask & changed & free & 0xFF), false);
    appendVirtualKeysToPressReleaseModifiers(uint16_t(mask & changed & free), true);
    mLastImplicitModifiersMask = mask;
}

void KLTKeyboardLayoutMapper::appendVirtualKeysToPressReleasePersistentModifiers(uint16_t mask, bool press) {
    appendVirtualKeysToPressReleaseModifiers(mask, press);
    if (press)
        mPersistentModifiersMask |= mask;
    else
        mPersistentModifiersMask &= uint16_t(~mask);
}

bool KLTKeyboardLayoutMapper::appendVirtualKeysToTypeString(std::u16string_view text, KeypadMode keypad) {
    auto results = modifiersAndVirtualKeysForString(text, keypad);
    if (!results) {
        KLLog(kKLTLoggingLevelError, "The string can't be typed with the current keyboard layout");
        return true;
    }
    for (const ModifiersAndKey& r : *results) {
        appendVirtualKeysToAdjustModifiers(r.modifiers);
        appendPressReleaseVirtualkey(r.key, true);
        appendPressReleaseVirtualkey(r.key, false);
    }
    appendVirtualKeysToAdjustModifiers(0);
    return true;
}

std::optional<std::vector<ModifiersAndKey>> KLTKeyboardLayoutMapper::modifiersAndVirtualKeysForString(
    std::u16string_view text, KeypadMode keypad) {
    auto normalized = normalizedNFC(text);
    auto bounds = normalized ? composedBoundaries(*normalized) : std::nullopt;
    if (!bounds) {
        KLLog(kKLTLoggingLevelError, "Unexpected error getting typeable characters from string");
        return std::nullopt;
    }
    std::vector<ModifiersAndKey> all;
    for (size_t i = 0; i + 1 < bounds->size(); ++i) {
        std::u16string sequence = normalized->substr((*bounds)[i], (*bounds)[i + 1] - (*bounds)[i]);
        std::optional<std::vector<ModifiersAndKey>> found;
        if (auto cached = mKeyCache.find({sequence, keypad}); cached != mKeyCache.end()) {
            found = cached->second;
        } else {
            found = modifiersAndVirtualKeysForComposedSequence(sequence, keypad);
            if (!found && keypad != kKeypadAny) {
                keypad = kKeypadAny;  // and for the rest of the text
                found = modifiersAndVirtualKeysForComposedSequence(sequence, keypad);
            }
            if (found) mKeyCache[{sequence, keypad}] = *found;
        }
        if (!found) return std::nullopt;
        all.insert(all.end(), found->begin(), found->end());
    }
    return all;
}

std::optional<std::vector<ModifiersAndKey>> KLTKeyboardLayoutMapper::modifiersAndVirtualKeysForComposedSequence(
    std::u16string_view sequence, KeypadMode keypad) {
    if (sequence.empty() || mLayout.empty()) return std::nullopt;
    uint16_t target;
    if (sequence.size() == 1 && !looksLikeAnIndex(sequence[0])) {
        target = sequence[0];
    } else {
        auto index = getKeySequenceIndex(sequence);
        if (!index) {
            KLLog(kKLTLoggingLevelError, "Unable to type one or more characters with this keyboard layout");
            return std::nullopt;
        }
        target = uint16_t(*index | Table::kSequenceMark);
    }
    if (auto direct = getModifiersAndVirtualKeyForCharacter(target, keypad)) return std::vector{*direct};

    // Through a dead key: the key typing the target in some dead-key state, preceded by the dead
    // key leading to that state.
    if (auto state = getNewStateForCharacter(target)) {
        auto second = getModifiersAndVirtualKeyForOutput(uint16_t(state->first | Table::kStateRecordMark), keypad);
        auto deadRecord = getKeyStateIndexWithStateZeroNextState(state->second);
        if (second && deadRecord) {
            if (auto dead = getModifiersAndVirtualKeyForOutput(uint16_t(*deadRecord | Table::kStateRecordMark), keypad))
                return std::vector{*dead, *second};
        }
    }
    KLLog(kKLTLoggingLevelError, "Unable to type one or more characters with this keyboard layout");
    return std::nullopt;
}

template <class Matches>
std::optional<ModifiersAndKey> KLTKeyboardLayoutMapper::searchTables(KeypadMode keypad, Matches matches) const {
    std::vector<bool> visited(mLayout.keyToCharTables.size(), false);
    for (uint16_t combination : gPreferredModifierCombinations) {
        uint8_t n = mLayout.tableFor(combination);
        if (n >= visited.size() || visited[n]) continue;
        visited[n] = true;
        const auto& table = mLayout.keyToCharTables[n];
        size_t keys = std::min<size_t>(mLayout.keysPerTable, table.size());
        for (size_t k = 0; k < keys; ++k) {
            if (!matches(table[k])) continue;
            bool keypadKey = mLayout.isKeypadKey(uint16_t(k));
            if ((keypad == kKeypadOnly && !keypadKey) || (keypad == kKeypadNever && keypadKey)) continue;
            return ModifiersAndKey{combination, uint16_t(k)};
        }
    }
    return std::nullopt;
}

std::optional<ModifiersAndKey> KLTKeyboardLayoutMapper::getModifiersAndVirtualKeyForCharacter(uint16_t target,
                                                                                              KeypadMode keypad) const {
    return searchTables(keypad, [&](uint16_t output) {
        if (output == target) return true;
        if ((output & Table::kIndexKindMask) != Table::kStateRecordMark || !mLayout.hasStateRecords) return false;
        size_t index = output & ~Table::kIndexKindMask;
        if (index >= mLayout.stateRecords.size()) return false;
        const auto& record = mLayout.stateRecords[index];
        return record.stateZeroCharacter == target && record.stateZeroNextState == 0;
    });
}

std::optional<ModifiersAndKey> KLTKeyboardLayoutMapper::getModifiersAndVirtualKeyForOutput(uint16_t output,
                                                                                           KeypadMode keypad) const {
    return searchTables(keypad, [&](uint16_t o) { return o == output; });
}

std::optional<std::pair<uint16_t, uint16_t>> KLTKeyboardLayoutMapper::getNewStateForCharacter(uint16_t character) const {
    if (!mLayout.hasStateRecords) return std::nullopt;
    for (size_t s = 0; s < mLayout.stateRecords.size(); ++s) {
        const auto& record = mLayout.stateRecords[s];
        if (!record.terminalEntries) continue;
        for (const auto& entry : record.entries)
            if (entry.character == character) return std::pair{uint16_t(s), entry.currentState};
    }
    return std::nullopt;
}

std::optional<uint16_t> KLTKeyboardLayoutMapper::getKeyStateIndexWithStateZeroNextState(uint16_t state) const {
    if (!mLayout.hasStateRecords) return std::nullopt;
    for (size_t r = 0; r < mLayout.stateRecords.size(); ++r) {
        const auto& record = mLayout.stateRecords[r];
        if (record.stateZeroNextState == state &&
            (record.stateZeroCharacter == 0xFFFE || record.stateZeroCharacter == 0xFFFF))
            return uint16_t(r);
    }
    return std::nullopt;
}

std::optional<uint16_t> KLTKeyboardLayoutMapper::getKeySequenceIndex(std::u16string_view sequence) const {
    if (!mLayout.hasSequences) return std::nullopt;
    for (size_t i = 0; i < mLayout.sequences.size(); ++i)
        if (mLayout.sequences[i] == sequence) return uint16_t(i);
    return std::nullopt;
}

bool KLTKeyboardLayoutMapper::looksLikeAnIndex(uint16_t unit) const {
    if ((unit & Table::kIndexKindMask) == Table::kStateRecordMark) return true;
    if ((unit & Table::kIndexKindMask) == Table::kSequenceMark)
        return mLayout.hasSequences && mLayout.sequences.size() < size_t(unit & ~Table::kIndexKindMask);
    return false;
}

std::u16string utf16FromUtf8(std::string_view text) {
    std::u16string out(text.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), int32_t(out.size()), &length, text.data(),
                         int32_t(text.size()), 0xFFFD, nullptr, &status);
    out.resize(U_SUCCESS(status) ? length : 0);
    return out;
}

std::string utf8FromUtf16(std::u16string_view text) {
    std::string out(text.size() * 3 + 1, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), int32_t(out.size()), &length, reinterpret_cast<const UChar*>(text.data()),
                       int32_t(text.size()), 0xFFFD, nullptr, &status);
    out.resize(U_SUCCESS(status) ? length : 0);
    return out;
}

}  // namespace kl

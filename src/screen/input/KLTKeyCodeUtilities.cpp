#include "screen/input/KLTKeyCodeUtilities.h"

#include "foundation/KLTLogging.h"
#include "platform/ValuePlist.h"
#include "screen/KLGeometryHelpers.h"
#include "screen/input/IncompatibleEventTappersPlist.h"
#include "screen/input/VirtualKeyTable.h"

namespace kl {

namespace {

using Table = KeyboardLayoutTable;

constexpr std::chrono::milliseconds kPasteboardRestoreDelay{100};

// What an output types when no dead key came before; 0xFFFF when nothing or a sequence.
uint16_t stateZeroCharacter(const Table& layout, uint16_t output) {
    if ((output & Table::kIndexKindMask) == Table::kSequenceMark) return Table::kNoOutput;
    if ((output & Table::kIndexKindMask) == Table::kStateRecordMark) {
        size_t index = output & ~Table::kIndexKindMask;
        return layout.hasStateRecords && index < layout.stateRecords.size() ? layout.stateRecords[index].stateZeroCharacter
                                                                            : Table::kNoOutput;
    }
    return output;
}

}  // namespace

KeyCodeSearch KLTGetKeyCodeForCharacter(const Table& layout, uint16_t character) {
    if (character == 0xFFFE || character == 0xFFFF) return {};
    for (const auto& table : layout.keyToCharTables) {
        size_t keys = std::min<size_t>(layout.keysPerTable, table.size());
        for (size_t k = 0; k < keys; ++k)
            if (stateZeroCharacter(layout, table[k]) == character) return {0, uint16_t(k)};
    }
    return {};
}

uint16_t KLTKeyCodeToUniChar(const Table& layout, uint16_t key) {
    if (layout.empty()) return 0;
    const auto& table = layout.keyToCharTables[layout.tableFor(0)];
    if (key >= table.size()) return 0;
    uint16_t c = stateZeroCharacter(layout, table[key]);
    return c == Table::kNoOutput ? 0 : c;
}

KLTKeyCodeUtilities::KLTKeyCodeUtilities(Dependencies dependencies) : deps_(std::move(dependencies)) {}

void KLTKeyCodeUtilities::setLayout(X11KeyboardLayout layout) {
    layout_ = std::move(layout);
    mapper_.reset();  // a stale mapper would type the old layout's characters
}

uint16_t KLTKeyCodeUtilities::keycodeForVirtualKey(uint16_t virtualKey) const {
    const char* name = xkbKeyNameForVirtualKey(virtualKey);
    if (!name) return 0;
    auto it = layout_.keysByName.find(name);
    return it == layout_.keysByName.end() ? 0 : it->second;
}

void KLTKeyCodeUtilities::postKeycode(uint16_t keycode, bool down) {
    if (keycode && deps_.target) deps_.target->postKey(keycode, down);
}

void KLTKeyCodeUtilities::postVirtualKey(uint16_t virtualKey, bool down) { postKeycode(keycodeForVirtualKey(virtualKey), down); }

void KLTKeyCodeUtilities::postSteps(const std::vector<KeyStep>& steps) {
    for (const KeyStep& step : steps) postKeycode(step.key, step.press);
}

void KLTKeyCodeUtilities::postModifiers(uint8_t flags, bool keyDown) {
    if (flags == kMessageNoModifiers) return;
    if (flags & kMessageControl) postVirtualKey(kVirtualKeyControl, keyDown);
    if (flags & kMessageOption) postVirtualKey(kVirtualKeyOption, keyDown);
    if (flags & kMessageCommand) postVirtualKey(kVirtualKeyCommand, keyDown);
    if (flags & kMessageShift) postVirtualKey(kVirtualKeyShift, keyDown);
}

std::optional<std::vector<KeyStep>> KLTKeyCodeUtilities::keyCodesForUniChar(uint16_t unit, bool shift) const {
    if (unit == 0) return std::nullopt;
    KeyCodeSearch found = KLTGetKeyCodeForCharacter(layout_.table, unit);
    if (found.status != 0) return std::nullopt;
    uint16_t k = found.key;
    if (KLTKeyCodeToUniChar(layout_.table, k) != unit || shift) {
        uint16_t shiftKey = keycodeForVirtualKey(kVirtualKeyShift);
        return std::vector<KeyStep>{{shiftKey, true}, {k, true}, {k, false}, {shiftKey, false}};
    }
    return std::vector<KeyStep>{{k, true}, {k, false}};
}

void KLTKeyCodeUtilities::postString(const std::u16string& text) {
    if (useCompatibleModeForPostString) setupPostStringMethodForBestCompatibility();
    if (usePasteboardForPostString && deps_.pasteboard) {
        pasteString(text);
        return;
    }
    if (!mapper_) {
        if (layout_.table.empty()) {
            KLLog(kKLTLoggingLevelError, "No keyboard layout to type with");
            return;
        }
        mapper_ = std::make_unique<KLTKeyboardLayoutMapper>(layout_.table);
    }
    postSteps(mapper_->keycodesFromString(text));
}

void KLTKeyCodeUtilities::pasteString(const std::u16string& text) {
    PasteboardContents saved = deps_.pasteboard->save();
    deps_.pasteboard->writeText(utf8FromUtf16(text));
    // The paste shortcut goes by what the key types, as X clients read it.
    KeyCodeSearch v = KLTGetKeyCodeForCharacter(layout_.table, u'v');
    uint16_t vKey = v.status == 0 ? v.key : keycodeForVirtualKey(kVirtualKeyV);
    postVirtualKey(kVirtualKeyCommand, true);
    postKeycode(vKey, true);
    postKeycode(vKey, false);
    postVirtualKey(kVirtualKeyCommand, false);
    std::shared_ptr<Pasteboard> pasteboard = deps_.pasteboard;
    auto restore = [pasteboard, saved = std::move(saved)] { pasteboard->restore(saved); };
    if (deps_.scheduler)
        deps_.scheduler(kPasteboardRestoreDelay, std::move(restore));
    else
        restore();
}

const std::vector<std::string>& KLTKeyCodeUtilities::incompatibleEventTappers() {
    static const std::vector<std::string> prefixes = [] {
        std::vector<std::string> list;
        auto value = valueFromPlist(kIncompatibleEventTappersPlist);
        const Array* array = value ? value.value().asArray() : nullptr;
        if (!array) {
            KLLog(kKLTLoggingLevelError, "The list of incompatible event tappers cannot be read");
            return list;
        }
        for (const Value& entry : *array)
            if (const std::string* prefix = entry.asString()) list.push_back(*prefix);
        return list;
    }();
    return prefixes;
}

void KLTKeyCodeUtilities::setupPostStringMethodForBestCompatibility() {
    const std::vector<std::string>& prefixes = tappers_ ? *tappers_ : incompatibleEventTappers();
    bool paste = false;
    std::optional<Array> taps = deps_.tapInventory ? deps_.tapInventory() : std::nullopt;
    for (const Value& tap : taps ? *taps : Array{}) {
        const Value* info = tap.get("kTappingProcessExtendedInfoKey");
        const Value* identifier = info ? info->get("CFBundleIdentifier") : nullptr;
        const std::string* name = identifier ? identifier->asString() : nullptr;
        if (!name) continue;
        for (const std::string& prefix : prefixes)
            if (hasPrefixCaseless(*name, prefix)) paste = true;
        if (paste) break;
    }
    if (paste != usePasteboardForPostString)
        KLLog(kKLTLoggingLevelDebug, "Setting compatibility mode to %s", paste ? "Pasteboard" : "CGPostKeyboardEvent");
    useCGEventPost = false;
    usePasteboardForPostString = paste;
}

}  // namespace kl

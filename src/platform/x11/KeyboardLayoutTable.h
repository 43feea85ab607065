// A keyboard layout as tables of what each key types under each modifier combination, with
// dead-key states and multi-unit outputs: the shape the layout mapper searches. Keys are X
// keycodes. Filled from the server's keymap (X11KeyboardLayout) or by hand in tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kl {

// Modifier combinations: 1 Command, 2 Shift, 4 Caps Lock, 8 Option (third level), 16 Control.
enum KeyboardModifierBits : uint16_t {
    kLayoutCommand = 1,
    kLayoutShift = 2,
    kLayoutCapsLock = 4,
    kLayoutOption = 8,
    kLayoutControl = 16,
};
inline constexpr uint16_t kLayoutModifierCombinations = 32;

struct KeyboardLayoutTable {
    // Key outputs: a UTF-16 unit; 0x4000 | index of a state record; 0x8000 | index of a sequence;
    // 0xFFFE and 0xFFFF type nothing.
    static constexpr uint16_t kStateRecordMark = 0x4000;
    static constexpr uint16_t kSequenceMark = 0x8000;
    static constexpr uint16_t kIndexKindMask = 0xC000;
    static constexpr uint16_t kNoOutput = 0xFFFF;

    struct StateEntry {
        uint16_t currentState = 0;
        uint16_t character = 0;
    };
    // A key whose output depends on the dead-key state before it. A dead key's own record types
    // nothing in state zero and leads to its state; a second key's record lists what it types in
    // each state.
    struct StateRecord {
        uint16_t stateZeroCharacter = kNoOutput;
        uint16_t stateZeroNextState = 0;
        bool terminalEntries = true;
        std::vector<StateEntry> entries;
    };

    uint16_t keysPerTable = 256;
    uint8_t defaultTable = 0;
    std::vector<uint8_t> modifiersToTable;  // table number per combination below its size
    std::vector<std::vector<uint16_t>> keyToCharTables;
    bool hasStateRecords = false;
    std::vector<StateRecord> stateRecords;
    bool hasSequences = false;
    std::vector<std::u16string> sequences;
    std::vector<bool> keypadKeys;  // per key; missing entries are not keypad keys
    // The keys that hold Command, Shift, Caps Lock, Option and Control (in the order of their bits);
    // 0 where the keymap has none.
    std::array<uint16_t, 5> modifierKeys{};
    uint16_t returnKey = 0;

    bool empty() const { return keyToCharTables.empty(); }
    uint8_t tableFor(uint16_t combination) const {
        return combination < modifiersToTable.size() ? modifiersToTable[combination] : defaultTable;
    }
    bool isKeypadKey(uint16_t key) const { return key < keypadKeys.size() && keypadKeys[key]; }
};

}  // namespace kl

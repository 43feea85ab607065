#include "screen/input/VirtualKeyTable.h"

#include <array>
#include <cstddef>

namespace kl {

namespace {

constexpr std::array<const char*, 128> makeTable() {
    std::array<const char*, 128> t{};
    const char* letters[] = {"AC01", "AC02", "AC03", "AC04", "AC06", "AC05", "AB01", "AB02", "AB03", "AB04",
                             "LSGT", "AB05", "AD01", "AD02", "AD03", "AD04", "AD06", "AD05", "AE01", "AE02",
                             "AE03", "AE04", "AE06", "AE05", "AE12", "AE09", "AE07", "AE11", "AE08", "AE10",
                             "AD12", "AD09", "AD07", "AD11", "AD08", "AD10", "RTRN", "AC09", "AC07", "AC11",
                             "AC08", "AC10", "BKSL", "AB08", "AB10", "AB06", "AB07", "AB09", "TAB", "SPCE",
                             "TLDE", "BKSP", nullptr, "ESC"};
    for (std::size_t i = 0; i < std::size(letters); ++i) t[i] = letters[i];
    t[55] = "LCTL";  // Command
    t[56] = "LFSH";
    t[57] = "CAPS";
    t[58] = "LALT";  // Option
    t[59] = "LCTL";
    t[60] = "RTSH";
    t[61] = "RALT";
    t[62] = "RCTL";
    t[64] = "FK17";
    t[65] = "KPDL";
    t[67] = "KPMU";
    t[69] = "KPAD";
    t[71] = "NMLK";  // the keypad's Clear
    t[75] = "KPDV";
    t[76] = "KPEN";
    t[78] = "KPSU";
    t[81] = "KPEQ";
    const char* keypad[] = {"KP0", "KP1", "KP2", "KP3", "KP4", "KP5", "KP6", "KP7"};
    for (std::size_t i = 0; i < std::size(keypad); ++i) t[82 + i] = keypad[i];
    t[91] = "KP8";
    t[92] = "KP9";
    t[96] = "FK05";
    t[97] = "FK06";
    t[98] = "FK07";
    t[99] = "FK03";
    t[100] = "FK08";
    t[101] = "FK09";
    t[103] = "FK11";
    t[105] = "FK13";
    t[107] = "FK14";
    t[109] = "FK10";
    t[111] = "FK12";
    t[113] = "FK15";
    t[114] = "INS";  // Help
    t[115] = "HOME";
    t[116] = "PGUP";
    t[117] = "DELE";  // forward delete
    t[118] = "FK04";
    t[119] = "END";
    t[120] = "FK02";
    t[121] = "PGDN";
    t[122] = "FK01";
    t[123] = "LEFT";
    t[124] = "RGHT";
    t[125] = "DOWN";
    t[126] = "UP";
    return t;
}

constexpr auto kTable = makeTable();

}  // namespace

const char* xkbKeyNameForVirtualKey(uint16_t virtualKey) { return virtualKey < kTable.size() ? kTable[virtualKey] : nullptr; }

}  // namespace kl

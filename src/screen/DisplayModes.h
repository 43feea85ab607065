// The numbered table of display sizes that the viewer and the service exchange, and the mode
// dictionaries built from the X server's modes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/Value.h"
#include "platform/x11/X11Monitors.h"
#include "screen/KLGeometry.h"

namespace kl {

struct DisplayModeSize {
    uint16_t width, height;
};
extern const std::array<DisplayModeSize, 67> DisplayModeArray;

// The table size of a mode number; 0 x 0 outside 0 to 66.
Size sizeOfMode(int mode);
// The lowest mode number from 1 to 66 with exactly this size; 0 when none has it.
uint32_t displayModeForSize(Size size);
// The single mode number a phone or tablet screen of that kind uses (landscape when orientation is
// nonzero).
std::vector<int> compatibleModesForiPhoneRetinaDisplayWithOrientation(int orientation, bool useRetina, bool tallPhone);
std::vector<int> compatibleModesForiPadRetinaDisplayWithOrientation(int orientation, bool useRetina);

// A mode dictionary ("Width", "Height", "Mode", "RefreshRate", ...) of a server mode; index is the
// mode's place in its output's list.
Value newModeFromModeDescription(const X11Mode& mode, uint32_t index);
// Sort comparator: wider, then taller, then fewer bits per pixel first; -1, 0 or 1.
int CompareModes(const Value& a, const Value& b);

}  // namespace kl

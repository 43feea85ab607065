// The screen service's view of the X server's displays: RandR monitors in global coordinates
// (the primary monitor's top-left corner is (0, 0)), and the display-mapping seed, a counter bumped
// whenever a change of the monitor list is seen. Each call uses the calling thread's connection.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/x11/X11Monitors.h"
#include "screen/KLGeometry.h"

namespace kl {

struct DisplayInfo {
    uint32_t displayID = 0;  // the monitor's name atom
    Rect bounds;             // global coordinates
    bool primary = false;
    X11Monitor monitor;
    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

namespace DisplayServer {

// The active displays in the server's order; empty without a server. Answered from a process-wide
// copy (refresh rectangles ask for bounds many times a second) that is read again after every
// change seen (noteDisplayChange, displayMappingSeed).
std::vector<DisplayInfo> displays();
// Reads the server now (and refreshes the copy).
std::vector<DisplayInfo> currentDisplays();
std::optional<DisplayInfo> display(uint32_t displayID);
// Root-window origin of the global origin (the primary monitor's top-left corner).
Point primaryRootOrigin();
Point rootToGlobal(Point root);
Point globalToRoot(Point global);

// Compares the monitor list with the one seen at the previous call and bumps the seed on a
// difference; answers the seed.
uint32_t displayMappingSeed();
// Records a change seen elsewhere (a RandR event, the configuration's poll).
void noteDisplayChange();

}  // namespace DisplayServer
}  // namespace kl

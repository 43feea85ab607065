// The X server's RandR monitors (the displays of the desktop), their outputs' EDID and modes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

struct X11Monitor {
    uint32_t name = 0;  // the monitor's name atom: the display's identifier
    std::string nameText;
    bool primary = false;
    X11Rect bounds;  // root-window coordinates
    std::vector<unsigned long> outputs;
    friend bool operator==(const X11Monitor&, const X11Monitor&) = default;
};

// The active monitors in the server's order; empty without RandR 1.5.
std::vector<X11Monitor> x11Monitors(X11Connection& c);
// The primary monitor: the one flagged primary, else the first.
const X11Monitor* x11PrimaryMonitor(const std::vector<X11Monitor>& monitors);
X11Rect x11RootBounds(X11Connection& c);

// What the first output's EDID says of the attached screen.
struct X11DisplayInfo {
    bool hasEdid = false;
    std::string productName;
    uint32_t serial = 0;
};
X11DisplayInfo x11DisplayInfo(X11Connection& c, const X11Monitor& monitor);
// Reads a raw 128-byte EDID block (exposed for tests).
X11DisplayInfo parseEdid(const uint8_t* edid, size_t length);

struct X11Mode {
    unsigned long id = 0;
    unsigned width = 0, height = 0;
    double refresh = 0;
    unsigned long flags = 0;
    bool interlaced = false;
    bool doubleScan = false;
    std::string name;
};
// Modes of the monitor's first output, in the server's order.
std::vector<X11Mode> x11ModesForMonitor(X11Connection& c, const X11Monitor& monitor);
std::optional<X11Mode> x11CurrentMode(X11Connection& c, const X11Monitor& monitor);
// Sets the mode on the output's CRTC; false when the server refuses.
bool x11SwitchMode(X11Connection& c, const X11Monitor& monitor, unsigned long modeId);

}  // namespace kl

// What the monitor reads of the desktop: the running applications, their icons, the on-screen
// window list and window captures. The X11 layer provides the real one; tests give their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "screen/KLGeometry.h"
#include "screen/apps/BitmapImage.h"

namespace kl {

struct RunningApplication {
    uint64_t pid = 0;
    std::string localizedName;
};

// One entry of the on-screen window list; optional fields are the ones a list may lack.
struct WindowListEntry {
    uint64_t windowNumber = 0;
    uint64_t ownerPID = 0;
    std::optional<std::string> name;
    Rect bounds;
    std::optional<double> alpha;
    std::optional<bool> onScreen;
    int layer = 0;
    uint32_t workspace = 0;
};

class ApplicationPlatform {
public:
    virtual ~ApplicationPlatform() = default;
    // Every call may come from any thread; an implementation serialises what it must.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The representations of the application's icon; empty when it has none.
    virtual std::vector<BitmapImage> applicationIconRepresentations(uint64_t pid) = 0;
    // On-screen windows, front to back.
    virtual std::vector<WindowListEntry> onScreenWindows() = 0;
    // The visible part of one window as it shows on screen; none when nothing of it can be read.
    virtual std::optional<BitmapImage> captureWindow(uint64_t windowNumber) = 0;
};

}  // namespace kl

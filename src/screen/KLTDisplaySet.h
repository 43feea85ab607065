// The captured desktop as one object: a set of displays, its bounds in scale-corrected global
// coordinates and each member's place in it. Built (members added, then finalizeSet) while the
// server's frame-buffer lock is held; it has no lock of its own.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "screen/KLTDisplay.h"

namespace kl {

class KLTDisplaySet {
public:
    using Displays = std::unordered_set<std::shared_ptr<KLTDisplay>>;

    Rect frame();
    std::string userDescription() { return "MultiScreen"; }
    uint32_t displayID();
    Rect boundsOfPrimaryDisplay();
    Rect scaleCorrectedDisplayBounds();
    void setDisplayMode(int) {}
    double cursorScale();
    double scale() { return 1.0; }
    Size displaySizeInPixels() { return scaleCorrectedDisplayBounds().size; }
    std::vector<Rect> arrayOfScreenBounds();
    uint32_t framebufferIndex();
    // Sets each member's origin and its offset from the set's origin.
    void finalizeSet();

    Displays& displays() { return mDisplays; }
    void setDisplays(Displays d) { mDisplays = std::move(d); }
    // A set with one display per active screen, finalized.
    static std::shared_ptr<KLTDisplaySet> forActiveScreens();

private:
    std::vector<std::shared_ptr<KLTDisplay>> snapshot() const { return {mDisplays.begin(), mDisplays.end()}; }
    Displays mDisplays;
};

}  // namespace kl

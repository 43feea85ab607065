// The system cursor as the viewer draws it: its image, hot spot, and whether it changed since the
// last look. Two threads (the cursor tick and the main thread) use it, so the remembered hot spot
// and serial are kept under a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "screen/KLGeometry.h"

namespace kl {

struct KLTCursor {
    int width = 0, height = 0;
    Point hotSpot;
    std::vector<uint8_t> rgba;  // straight RGBA, rows without padding

    // X11 blank cursors come in any size: a cursor none of whose pixels shows is invisible.
    bool isInvisible() const;

    static Point gveHotSpot();
    // The current cursor, remembering its hot spot; nothing when it cannot be read.
    static std::optional<KLTCursor> gveCurrentSystemCursor();
    // True when the cursor serial differs from the one seen at the previous call.
    static bool cursorImageUpdated();
};

}  // namespace kl

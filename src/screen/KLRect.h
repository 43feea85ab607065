// One rectangle as the encoder receives it from a dirty queue: an area to send, or (moved) an area
// whose contents moved by delta and can be sent as a copy instruction.
#pragma once

#include <string>

#include "screen/KLGeometry.h"

namespace kl {

struct KLRect {
    Rect rect;
    bool moved = false;
    Point delta;

    static KLRect klRectWith(const Rect& rect, bool moved, Point delta) { return KLRect{rect, moved, delta}; }
    std::string description() const;
    friend bool operator==(const KLRect&, const KLRect&) = default;
};

}  // namespace kl

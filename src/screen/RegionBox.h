// How a rectangle of global coordinates enters a region: every edge truncated toward zero, y edges
// ordered, and each value kept to its low 16 bits (regions hold signed 16-bit boxes).
#pragma once

#include "screen/KLGeometry.h"
#include "screen/region/MiRegion.h"

namespace kl {

_Box regionBoxFromRect(const Rect& rect);

// A box without area (zero size, or inverted by the 16-bit wrap) breaks the banding that validation,
// subtraction and the rectangle-in-region test rely on, so it never goes into a region.
inline bool boxHasArea(const _Box& b) { return b.x1 < b.x2 && b.y1 < b.y2; }

}  // namespace kl

#include "screen/RegionBox.h"

#include <cmath>
#include <cstdint>
#include <utility>

namespace kl {

namespace {

// The 32-bit truncation of a coordinate; out-of-range values saturate rather than being undefined.
int32_t truncate32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int16_t low16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFF)); }

}  // namespace

_Box regionBoxFromRect(const Rect& rect) {
    int32_t y1 = truncate32(rect.minY()), y2 = truncate32(rect.maxY());
    if (y2 < y1) std::swap(y1, y2);
    return _Box{low16(truncate32(rect.minX())), low16(y1), low16(truncate32(rect.maxX())), low16(y2)};
}

}  // namespace kl

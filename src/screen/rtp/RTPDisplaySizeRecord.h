// The 56-byte display-size record that opens each RTP frame (after 0x79, 59, 0): seven
// little-endian IEEE-754 doubles, the display set's scale-corrected bounds (x, y, width, height),
// its size in pixels (width, height) and its scale. A receiver that joins late learns from it
// the size of the picture the frame's rectangles are drawn on.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "screen/KLGeometry.h"

namespace kl {

struct RTPDisplaySize {
    Rect bounds;
    Size pixels;
    double scale = 1.0;
};

std::array<uint8_t, 56> writeRTPDisplaySizeRecord(const RTPDisplaySize& size);
RTPDisplaySize readRTPDisplaySizeRecord(std::span<const uint8_t, 56> record);

}  // namespace kl

// Captures one rectangle of one display into a tightly packed buffer of 4-byte pixels (blue,
// green, red, unused), rows of width x 4 bytes.
#pragma once

#include <cstdint>

#include "screen/KLGeometry.h"

namespace kl {

class X11Capture;

// rect is in display-local coordinates; the buffer is allocated with malloc when none is given
// (the caller frees it) and holds trunc(width) x trunc(height) pixels. Parts of the rectangle
// past the screen's edge come out as zero bytes. outSize receives the captured pixel size. Null
// (or the given buffer untouched) when the display is unknown or the server refused.
uint8_t* CreateImageBufferForRect(uint8_t* buffer, uint32_t displayID, Size* outSize, double scale, const Rect& rect);
// The same through a given capturer (an encoder's own shared-memory segment).
uint8_t* CreateImageBufferForRectWith(X11Capture& capture, uint8_t* buffer, uint32_t displayID, Size* outSize,
                                      double scale, const Rect& rect);

}  // namespace kl

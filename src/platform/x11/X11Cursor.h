// The pointer's current cursor image through XFixes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

struct X11CursorImage {
    int width = 0, height = 0;
    int xhot = 0, yhot = 0;
    unsigned long serial = 0;
    std::vector<uint8_t> rgba;  // straight (not premultiplied) RGBA, rows without padding
};

std::optional<X11CursorImage> x11CurrentCursor(X11Connection& c);
// Converts XFixes pixels (premultiplied ARGB in the low 32 bits of each unsigned long).
std::vector<uint8_t> straightRgbaFromPremultipliedArgb(const unsigned long* pixels, size_t count);

}  // namespace kl

#include "platform/x11/X11Cursor.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>

namespace kl {

std::vector<uint8_t> straightRgbaFromPremultipliedArgb(const unsigned long* pixels, size_t count) {
    std::vector<uint8_t> rgba(count * 4);
    for (size_t i = 0; i < count; ++i) {
        uint32_t p = static_cast<uint32_t>(pixels[i]);
        unsigned a = p >> 24, r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        if (a && a < 255) {
            r = std::min(255u, (r * 255 + a / 2) / a);
            g = std::min(255u, (g * 255 + a / 2) / a);
            b = std::min(255u, (b * 255 + a / 2) / a);
        }
        rgba[i * 4] = uint8_t(r);
        rgba[i * 4 + 1] = uint8_t(g);
        rgba[i * 4 + 2] = uint8_t(b);
        rgba[i * 4 + 3] = uint8_t(a);
    }
    return rgba;
}

std::optional<X11CursorImage> x11CurrentCursor(X11Connection& c) {
    Display* d = static_cast<Display*>(c.display());
    int event, error;
    if (!XFixesQueryExtension(d, &event, &error)) return std::nullopt;
    XFixesCursorImage* image = XFixesGetCursorImage(d);
    if (!image) {
        c.syncAndTakeError();
        return std::nullopt;
    }
    X11CursorImage result;
    result.width = image->width;
    result.height = image->height;
    result.xhot = image->xhot;
    result.yhot = image->yhot;
    result.serial = image->cursor_serial;
    result.rgba = straightRgbaFromPremultipliedArgb(image->pixels, size_t(image->width) * image->height);
    XFree(image);
    return result;
}

}  // namespace kl

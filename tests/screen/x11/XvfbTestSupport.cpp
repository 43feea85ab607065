#include "XvfbTestSupport.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>

namespace kl::test {

namespace {
Display* dpy(void* d) { return static_cast<Display*>(d); }
}  // namespace

Client::Client() : display_(XOpenDisplay(nullptr)) {}

Client::~Client() {
    if (display_) XCloseDisplay(dpy(display_));
}

uint32_t Client::atom(const char* name) { return uint32_t(XInternAtom(dpy(display_), name, False)); }

void Client::drawPattern(int x, int y, int w, int h) {
    Display* d = dpy(display_);
    Window root = DefaultRootWindow(d);
    XImage* image = XCreateImage(d, DefaultVisual(d, 0), 24, ZPixmap, 0, nullptr, w, h, 32, 0);
    image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * h));
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) XPutPixel(image, col, row, patternPixel(x + col, y + row));
    GC gc = XCreateGC(d, root, 0, nullptr);
    XPutImage(d, root, gc, image, 0, 0, x, y, w, h);
    XFreeGC(d, gc);
    XDestroyImage(image);
    XSync(d, False);
}

void Client::drawTestDesktop(int w, int h) {
    Display* d = dpy(display_);
    Window root = DefaultRootWindow(d);
    XImage* image = XCreateImage(d, DefaultVisual(d, 0), 24, ZPixmap, 0, nullptr, w, h, 32, 0);
    image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * h));
    uint32_t seed = 12345;
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            uint32_t pixel = uint32_t(col * 255 / w) << 16 | uint32_t(row * 255 / h) << 8 | uint32_t((col + row) * 127 / (w + h));
            if (row >= h / 2 && row < h / 2 + h / 8) {  // a band of noise across the middle
                seed = seed * 1103515245 + 12345;
                pixel = (seed >> 8) & 0xFFFFFF;
            }
            XPutPixel(image, col, row, pixel);
        }
    }
    GC gc = XCreateGC(d, root, 0, nullptr);
    XPutImage(d, root, gc, image, 0, 0, 0, 0, w, h);
    XDestroyImage(image);
    XSetForeground(d, gc, 0xFFFFFF);
    XFillRectangle(d, root, gc, 20, 20, unsigned(w / 2), unsigned(h / 3));
    XSetForeground(d, gc, 0x000000);
    const char* line = "The quick brown fox jumps over the lazy dog 0123456789";
    for (int y = 36; y < 20 + h / 3; y += 14) XDrawString(d, root, gc, 24, y, line, int(std::strlen(line)));
    XFreeGC(d, gc);
    XSync(d, False);
}

void Client::fill(int x, int y, int w, int h, uint32_t rgb) {
    Display* d = dpy(display_);
    Window root = DefaultRootWindow(d);
    GC gc = XCreateGC(d, root, 0, nullptr);
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, root, gc, x, y, unsigned(w), unsigned(h));
    XFreeGC(d, gc);
    XSync(d, False);
}

void Client::showCursorWindow(int x, int y, int w, int h, int size, int hotX, int hotY, bool blank) {
    Display* d = dpy(display_);
    Window root = DefaultRootWindow(d);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    Window window = XCreateWindow(d, root, x, y, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect, &attributes);
    // A diagonal stripe as the shape; a blank cursor has an empty mask.
    std::vector<char> shape(size_t((size + 7) / 8) * size, 0), mask(shape.size(), 0);
    for (int row = 0; row < size; ++row) {
        for (int col = 0; col < size; ++col) {
            if (std::abs(row - col) > 1) continue;
            shape[size_t(row) * ((size + 7) / 8) + col / 8] |= char(1 << (col % 8));
            if (!blank) mask[size_t(row) * ((size + 7) / 8) + col / 8] |= char(1 << (col % 8));
        }
    }
    Pixmap source = XCreateBitmapFromData(d, window, shape.data(), size, size);
    Pixmap maskPixmap = XCreateBitmapFromData(d, window, mask.data(), size, size);
    XColor red{}, white{};
    red.red = 0xFFFF;
    white.red = white.green = white.blue = 0xFFFF;
    Cursor cursor = XCreatePixmapCursor(d, source, maskPixmap, &red, &white, hotX, hotY);
    XDefineCursor(d, window, cursor);
    XMapRaised(d, window);
    XSync(d, False);
    XWarpPointer(d, None, root, 0, 0, 0, 0, x + w / 2, y + h / 2);
    XSync(d, False);
    XFreePixmap(d, source);
    XFreePixmap(d, maskPixmap);
}

unsigned long Client::showWindow(const char* name, int x, int y, int w, int h) {
    Display* d = dpy(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    Window window = XCreateWindow(d, DefaultRootWindow(d), x, y, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect, &attributes);
    XStoreName(d, window, name);
    XMapRaised(d, window);
    XSync(d, False);
    return window;
}

void Client::moveWindow(unsigned long id, int x, int y) {
    XMoveWindow(dpy(display_), id, x, y);
    XSync(dpy(display_), False);
}

std::pair<int, int> Client::windowOrigin(unsigned long id) {
    Display* d = dpy(display_);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, id, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return {x, y};
}

void Client::ownSettings(const std::vector<uint8_t>& settings) {
    Display* d = dpy(display_);
    Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    Atom property = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
    XChangeProperty(d, owner, property, property, 8, PropModeReplace, settings.data(), int(settings.size()));
    XSetSelectionOwner(d, XInternAtom(d, "_XSETTINGS_S0", False), owner, CurrentTime);
    XSync(d, False);
}

}  // namespace kl::test

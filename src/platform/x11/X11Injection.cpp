#include "platform/x11/X11Injection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace kl {

namespace {
Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }
}  // namespace

bool x11HasXTest(X11Connection& c) {
    int event, error, major, minor;
    return XTestQueryExtension(dpy(c), &event, &error, &major, &minor);
}

void x11InjectMotion(X11Connection& c, int x, int y) {
    XTestFakeMotionEvent(dpy(c), -1, x, y, CurrentTime);
    c.flush();
}

void x11InjectButton(X11Connection& c, unsigned button, bool down) {
    XTestFakeButtonEvent(dpy(c), button, down, CurrentTime);
    c.flush();
}

void x11InjectKey(X11Connection& c, unsigned keycode, bool down) {
    if (keycode < 8 || keycode > 255) return;  // outside the core protocol's keycodes
    XTestFakeKeyEvent(dpy(c), keycode, down, CurrentTime);
    c.flush();
}

std::optional<std::pair<int, int>> x11PointerPosition(X11Connection& c) {
    Window root, child;
    int rootX, rootY, winX, winY;
    unsigned mask;
    if (!XQueryPointer(dpy(c), c.root(), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) return std::nullopt;
    return std::pair{rootX, rootY};
}

unsigned x11KeycodeForKeysym(X11Connection& c, unsigned long keysym) {
    return XKeysymToKeycode(dpy(c), keysym);
}

}  // namespace kl

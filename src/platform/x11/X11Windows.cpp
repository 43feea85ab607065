#include "platform/x11/X11Windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "platform/x11/X11Properties.h"

namespace kl {

namespace {

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

std::optional<X11WindowInfo> describe(X11Connection& c, Window w) {
    Display* d = dpy(c);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return std::nullopt;
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, c.root(), 0, 0, &x, &y, &child);
    X11WindowInfo info;
    info.id = w;
    info.name = x11WindowTitle(d, w).value_or("");
    info.bounds = {x, y, attributes.width, attributes.height};
    auto pid = x11LongsProperty(d, w, "_NET_WM_PID", XA_CARDINAL);
    if (!pid.empty()) info.pid = int(pid.front());
    Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
    for (unsigned long state : x11LongsProperty(d, w, "_NET_WM_STATE", XA_ATOM))
        if (state == above) info.layer = 3;
    if (attributes.map_state != IsViewable) info.layer = -1;
    return info;
}

}  // namespace

std::vector<X11WindowInfo> x11OnScreenWindows(X11Connection& c) {
    Display* d = dpy(c);
    std::vector<unsigned long> ids = x11LongsProperty(d, c.root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    if (ids.empty()) {
        Window rootReturn, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(d, c.root(), &rootReturn, &parent, &children, &count)) ids.assign(children, children + count);
        if (children) XFree(children);
    }
    std::vector<X11WindowInfo> windows;
    for (unsigned long id : ids) {
        auto info = describe(c, id);
        if (info && info->layer >= 0) windows.push_back(*info);
    }
    c.syncAndTakeError();  // windows may vanish while they are read
    return windows;
}

std::optional<X11WindowInfo> x11WindowInfo(X11Connection& c, unsigned long id) {
    auto info = describe(c, id);
    if (c.syncAndTakeError() != 0) return std::nullopt;
    return info;
}

bool x11MoveWindow(X11Connection& c, unsigned long id, int x, int y) {
    XMoveWindow(dpy(c), id, x, y);
    return c.syncAndTakeError() == 0;
}

}  // namespace kl

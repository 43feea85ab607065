#include "platform/x11/X11Windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kl {

namespace {

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

std::vector<unsigned long> longsProperty(Display* d, Window w, const char* name, Atom type) {
    std::vector<unsigned long> values;
    Atom property = XInternAtom(d, name, True);
    if (property == None) return values;
    Atom actual;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 1 << 16, False, type, &actual, &format, &items, &after, &data) ==
            Success &&
        data && format == 32) {
        auto* longs = reinterpret_cast<unsigned long*>(data);
        values.assign(longs, longs + items);
    }
    if (data) XFree(data);
    return values;
}

std::string windowName(Display* d, Window w) {
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    Atom actual;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(d, w, netName, 0, 1024, False, utf8, &actual, &format, &items, &after, &data) == Success &&
        data && format == 8)
        name.assign(reinterpret_cast<char*>(data), items);
    if (data) XFree(data);
    if (name.empty()) {
        char* plain = nullptr;
        if (XFetchName(d, w, &plain) && plain) {
            name = plain;
            XFree(plain);
        }
    }
    return name;
}

std::optional<X11WindowInfo> describe(X11Connection& c, Window w) {
    Display* d = dpy(c);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return std::nullopt;
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, c.root(), 0, 0, &x, &y, &child);
    X11WindowInfo info;
    info.id = w;
    info.name = windowName(d, w);
    info.bounds = {x, y, attributes.width, attributes.height};
    auto pid = longsProperty(d, w, "_NET_WM_PID", XA_CARDINAL);
    if (!pid.empty()) info.pid = int(pid.front());
    Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
    for (unsigned long state : longsProperty(d, w, "_NET_WM_STATE", XA_ATOM))
        if (state == above) info.layer = 3;
    if (attributes.map_state != IsViewable) info.layer = -1;
    return info;
}

}  // namespace

std::vector<X11WindowInfo> x11OnScreenWindows(X11Connection& c) {
    Display* d = dpy(c);
    std::vector<unsigned long> ids = longsProperty(d, c.root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
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

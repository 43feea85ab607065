#include "platform/x11/X11Applications.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <algorithm>
#include <fstream>

#include "platform/x11/X11Properties.h"

namespace kl {

namespace {

constexpr unsigned long kMaxIconSide = 1024;

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

int windowLayer(Display* d, Window w) {
    auto types = x11LongsProperty(d, w, "_NET_WM_WINDOW_TYPE", XA_ATOM);
    if (types.empty()) return 0;
    // The first type the window names is the one it wants.
    const Atom first = types.front();
    return (first == XInternAtom(d, "_NET_WM_WINDOW_TYPE_NORMAL", False) ||
            first == XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False))
               ? 0
               : 1;
}

std::optional<X11ClientWindow> describe(X11Connection& c, Window w) {
    Display* d = dpy(c);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return std::nullopt;
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, c.root(), 0, 0, &x, &y, &child);
    X11ClientWindow info;
    info.id = w;
    info.pid = x11WindowPid(c, w);
    info.title = x11WindowTitle(d, w);
    info.bounds = {x, y, attributes.width, attributes.height};
    info.viewable = attributes.map_state == IsViewable;
    info.overrideRedirect = attributes.override_redirect;
    auto opacity = x11LongsProperty(d, w, "_NET_WM_WINDOW_OPACITY", XA_CARDINAL, 1);
    if (!opacity.empty()) info.opacity = double(uint32_t(opacity.front())) / 4294967295.0;
    info.layer = windowLayer(d, w);
    auto desktop = x11LongsProperty(d, w, "_NET_WM_DESKTOP", XA_CARDINAL, 1);
    if (!desktop.empty()) info.desktop = uint32_t(desktop.front());
    return info;
}

std::string procComm(int pid) {
    if (pid <= 0) return {};
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

bool x11HasWindowManagerList(X11Connection& c) {
    return !x11LongsProperty(dpy(c), c.root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW).empty();
}

std::vector<X11ClientWindow> x11ClientWindows(X11Connection& c) {
    Display* d = dpy(c);
    std::vector<unsigned long> ids = x11LongsProperty(d, c.root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    if (ids.empty()) {
        Window rootReturn, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(d, c.root(), &rootReturn, &parent, &children, &count)) ids.assign(children, children + count);
        if (children) XFree(children);
    }
    std::vector<X11ClientWindow> windows;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)  // both lists run bottom to top
        if (auto info = describe(c, *it)) windows.push_back(std::move(*info));
    c.syncAndTakeError();  // windows may vanish while they are read
    return windows;
}

int x11WindowPid(X11Connection& c, unsigned long window) {
    Display* d = dpy(c);
    auto pid = x11LongsProperty(d, window, "_NET_WM_PID", XA_CARDINAL, 1);
    if (!pid.empty() && pid.front() > 0 && pid.front() < (1ul << 31)) return int(pid.front());
    int eventBase = 0, errorBase = 0;
    if (!XResQueryExtension(d, &eventBase, &errorBase)) return 0;
    XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    int found = 0;
    if (XResQueryClientIds(d, 1, &spec, &count, &values) == Success) {
        for (long i = 0; i < count && found == 0; ++i)
            if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID) found = int(XResGetClientPid(&values[i]));
        XResClientIdsDestroy(count, values);
    }
    return found > 0 ? found : 0;
}

std::string x11ApplicationName(X11Connection& c, unsigned long window, int pid) {
    XClassHint hint{nullptr, nullptr};
    std::string name;
    if (XGetClassHint(dpy(c), window, &hint)) {
        if (hint.res_class && *hint.res_class)
            name = hint.res_class;
        else if (hint.res_name)
            name = hint.res_name;
        if (hint.res_class) XFree(hint.res_class);
        if (hint.res_name) XFree(hint.res_name);
    }
    c.syncAndTakeError();
    return name.empty() ? procComm(pid) : name;
}

std::vector<X11IconPicture> x11WindowIcons(X11Connection& c, unsigned long window) {
    auto data = x11LongsProperty(dpy(c), window, "_NET_WM_ICON", XA_CARDINAL, 1 << 22);
    c.syncAndTakeError();
    std::vector<X11IconPicture> pictures;
    size_t at = 0;
    while (data.size() - at >= 2) {
        const unsigned long w = data[at], h = data[at + 1];
        at += 2;
        if (w == 0 || h == 0 || w > kMaxIconSide || h > kMaxIconSide || w * h > data.size() - at) break;
        X11IconPicture picture{int(w), int(h), {}};
        picture.argb.reserve(w * h);
        for (size_t i = 0; i < w * h; ++i) picture.argb.push_back(uint32_t(data[at + i]));
        at += w * h;
        pictures.push_back(std::move(picture));
    }
    return pictures;
}

std::optional<std::string> x11RootStringProperty(X11Connection& c, const char* name) {
    Display* d = dpy(c);
    Atom property = XInternAtom(d, name, True);
    if (property == None) return std::nullopt;
    Atom actual = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> text;
    if (XGetWindowProperty(d, c.root(), property, 0, 4096, False, AnyPropertyType, &actual, &format, &items, &after,
                           &data) == Success &&
        data && format == 8)
        text = std::string(reinterpret_cast<char*>(data), items);
    if (data) XFree(data);
    c.syncAndTakeError();
    return text;
}

unsigned long x11ActiveOrFocusedWindow(X11Connection& c) {
    Display* d = dpy(c);
    auto active = x11LongsProperty(d, c.root(), "_NET_ACTIVE_WINDOW", XA_WINDOW, 1);
    if (!active.empty() && active.front() != None) return active.front();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    // The focus may sit on a child: climb to the root's child that holds it.
    while (focus != None && focus != PointerRoot && focus != c.root()) {
        Window rootReturn, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, focus, &rootReturn, &parent, &children, &count)) break;
        if (children) XFree(children);
        if (parent == c.root()) break;
        focus = parent;
    }
    c.syncAndTakeError();
    return (focus == PointerRoot || focus == c.root()) ? 0 : focus;
}

}  // namespace kl

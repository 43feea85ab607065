#include "platform/x11/X11Activation.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/x11/X11Properties.h"

namespace kl {

namespace {

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

// A window-valued property; 0 when missing.
unsigned long windowProperty(Display* d, Window w, const char* name) {
    auto values = x11LongsProperty(d, w, name, XA_WINDOW, 1);
    return values.size() == 1 ? values.front() : 0;
}

bool windowExists(X11Connection& c, Window w) {
    XWindowAttributes attributes;
    bool exists = XGetWindowAttributes(dpy(c), w, &attributes);
    c.syncAndTakeError();  // a vanished window's BadWindow is expected here
    return exists;
}

}  // namespace

bool x11WindowManagerRuns(X11Connection& c) {
    // A window manager names a child window of its own on the root, and names it again on that child.
    Window check = windowProperty(dpy(c), c.root(), "_NET_SUPPORTING_WM_CHECK");
    if (!check || !windowExists(c, check)) return false;
    return windowProperty(dpy(c), check, "_NET_SUPPORTING_WM_CHECK") == check;
}

bool x11ActivateWindow(X11Connection& c, unsigned long window) {
    Display* d = dpy(c);
    if (!windowExists(c, window)) return false;
    Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    if (x11WindowManagerRuns(c)) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = active;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // from a pager: the request stands for the user's own choice
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, c.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        XRaiseWindow(d, window);
        XSetInputFocus(d, window, RevertToParent, CurrentTime);
        XChangeProperty(d, c.root(), active, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&window), 1);
    }
    return c.syncAndTakeError() == 0;
}

unsigned long x11ActiveWindow(X11Connection& c) { return windowProperty(dpy(c), c.root(), "_NET_ACTIVE_WINDOW"); }

void x11ResetScreenSaver(X11Connection& c) {
    XResetScreenSaver(dpy(c));
    c.flush();
}

}  // namespace kl

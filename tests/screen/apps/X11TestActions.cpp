#include "X11TestActions.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace kl::test {

bool focusWindow(unsigned long window) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    XSetInputFocus(d, window, RevertToPointerRoot, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

bool setActiveWindowProperty(unsigned long window) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    Atom property = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    if (window) {
        Window active = window;
        XChangeProperty(d, DefaultRootWindow(d), property, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&active), 1);
    } else {
        XDeleteProperty(d, DefaultRootWindow(d), property);
    }
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

}  // namespace kl::test

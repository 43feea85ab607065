// What the X server tells of applications: top-level client windows with their owners, names,
// icons, opacity, type and desktop, and which window is active. An application is the process
// that owns top-level client windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

struct X11ClientWindow {
    unsigned long id = 0;
    int pid = 0;                      // 0 when neither _NET_WM_PID nor X-Resource tells
    std::optional<std::string> title;  // none when the window has no name property
    X11Rect bounds;                   // root coordinates
    bool viewable = false;
    bool overrideRedirect = false;    // popups and menus that bypass the window manager
    double opacity = 1.0;             // _NET_WM_WINDOW_OPACITY, opaque when missing
    int layer = 0;                    // 0 for normal and dialog windows, 1 for any other type
    uint32_t desktop = 0;             // _NET_WM_DESKTOP
};

// One _NET_WM_ICON picture: ARGB values, one per pixel, rows top to bottom.
struct X11IconPicture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;
};

// Top-level client windows, front to back: the window manager's stacking list when one runs,
// else the root's children. Windows that vanish while they are read are left out.
std::vector<X11ClientWindow> x11ClientWindows(X11Connection& c);
// Whether a window manager publishes its client list.
bool x11HasWindowManagerList(X11Connection& c);
// The owner's process id: _NET_WM_PID, else the X-Resource client id; 0 when unknown.
int x11WindowPid(X11Connection& c, unsigned long window);
// The class of WM_CLASS (its instance when the class is empty), else /proc/PID/comm.
std::string x11ApplicationName(X11Connection& c, unsigned long window, int pid);
// Every picture of _NET_WM_ICON; pictures past the property's end or larger than 1024 pixels a
// side end the list.
std::vector<X11IconPicture> x11WindowIcons(X11Connection& c, unsigned long window);
// A text property of the root window (e.g. AT_SPI_BUS); none when missing.
std::optional<std::string> x11RootStringProperty(X11Connection& c, const char* name);
// _NET_ACTIVE_WINDOW, else the top-level window holding the input focus; 0 when none.
unsigned long x11ActiveOrFocusedWindow(X11Connection& c);

}  // namespace kl

// Top-level windows of the X server: which are on screen, where, and moving one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

struct X11WindowInfo {
    unsigned long id = 0;
    std::string name;
    X11Rect bounds;  // root coordinates
    int pid = 0;
    int layer = 0;  // 0 ordinary, 3 kept above the others
    friend bool operator==(const X11WindowInfo&, const X11WindowInfo&) = default;
};

// Viewable top-level windows, bottom to top: the window manager's client list when one runs,
// else the root's mapped children.
std::vector<X11WindowInfo> x11OnScreenWindows(X11Connection& c);
std::optional<X11WindowInfo> x11WindowInfo(X11Connection& c, unsigned long id);
bool x11MoveWindow(X11Connection& c, unsigned long id, int x, int y);

}  // namespace kl

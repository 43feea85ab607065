// Bringing a top-level window to the front with the keyboard focus, as a pager would: through the
// window manager's _NET_ACTIVE_WINDOW request when one runs, else by raising and focusing it
// directly and recording it as the active window on the root.
#pragma once

#include "platform/x11/X11Connection.h"

namespace kl {

bool x11WindowManagerRuns(X11Connection& c);
// False when the window does not exist.
bool x11ActivateWindow(X11Connection& c, unsigned long window);
// The root's _NET_ACTIVE_WINDOW; 0 when unset.
unsigned long x11ActiveWindow(X11Connection& c);
// Ends a running screen saver as user input would.
void x11ResetScreenSaver(X11Connection& c);

}  // namespace kl

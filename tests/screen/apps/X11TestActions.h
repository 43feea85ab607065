// What a window manager or a user would do to the X server in the tests ($DISPLAY). Xlib stays
// in the .cpp: its macros clash with ordinary names.
#pragma once

namespace kl::test {

bool focusWindow(unsigned long window);
// Publishes _NET_ACTIVE_WINDOW on the root as a window manager does (0 removes it).
bool setActiveWindowProperty(unsigned long window);

}  // namespace kl::test

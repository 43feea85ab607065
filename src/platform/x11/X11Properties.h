// Window-property reads shared by the X11 layer's files (not part of its interface).
#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <vector>

namespace kl {

// A 32-bit property as longs (Xlib hands format-32 data as longs); empty when missing or of
// another type.
std::vector<unsigned long> x11LongsProperty(Display* d, Window w, const char* name, Atom type,
                                            long maxLongs = 1 << 16);

// _NET_WM_NAME in UTF-8, else WM_NAME; none when the window has neither.
std::optional<std::string> x11WindowTitle(Display* d, Window w);

}  // namespace kl

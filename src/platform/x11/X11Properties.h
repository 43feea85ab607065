// Window-property reads shared by the X11 layer's files (not part of its interface).
#pragma once

#include <optional>
#include <string>
#include <vector>

// Xlib's own types (Display, Window, Atom) without its header, whose macros (None, Status, Bool)
// must not reach the files that include this one.
struct _XDisplay;

namespace kl {

// A 32-bit property as longs (Xlib hands format-32 data as longs); empty when missing or of
// another type.
std::vector<unsigned long> x11LongsProperty(_XDisplay* d, unsigned long window, const char* name,
                                            unsigned long type, long maxLongs = 1 << 16);

// _NET_WM_NAME in UTF-8, else WM_NAME; none when the window has neither.
std::optional<std::string> x11WindowTitle(_XDisplay* d, unsigned long window);

}  // namespace kl

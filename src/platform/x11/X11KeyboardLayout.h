// The server's current keyboard layout as a KeyboardLayoutTable, read with xkbcommon: a table per
// modifier combination (Option being the third-level shift), dead keys and what they compose with
// the locale's compose table. Also a watch on keymap changes.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/x11/KeyboardLayoutTable.h"
#include "platform/x11/X11Connection.h"

namespace kl {

struct X11KeyboardLayout {
    KeyboardLayoutTable table;
    // Keycodes by XKB key name ("AC01", "RTRN"): where a key sits, whatever it types.
    std::map<std::string, uint16_t> keysByName;
};

// Nothing when the server has no XKB or the keymap cannot be read. locale: the compose table's
// ("" = the process environment's).
std::optional<X11KeyboardLayout> x11ReadKeyboardLayout(X11Connection& c, const std::string& locale = "");

// Notices keymap changes announced to one connection (setxkbmap, a new keyboard). Reads only
// events already queued, never blocks; other events it finds are dropped, so use it on a
// connection that has no other use for events (the input thread's).
class X11KeymapWatch {
public:
    explicit X11KeymapWatch(X11Connection& c);
    // True once after the keymap changed since the previous call.
    bool takeChange();

private:
    X11Connection& c_;
    int xkbEventBase_ = -1;
};

}  // namespace kl

#include "platform/x11/AXAPIEnabled.h"

#include <cstdlib>
#include <string_view>

#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Injection.h"

namespace kl {

namespace {

bool isWaylandSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return (wayland && *wayland) || (session && std::string_view(session) == "wayland");
}

}  // namespace

bool AXAPIEnabled() {
    if (isWaylandSession()) return false;
    // A connection of its own: callers may be on any thread, and it closes at once.
    auto connection = X11Connection::open();
    return connection && x11HasXTest(*connection);
}

}  // namespace kl

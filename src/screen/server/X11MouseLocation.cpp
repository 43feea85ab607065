#include "screen/server/X11MouseLocation.h"

#include <X11/Xlib.h>

#include "platform/x11/X11Connection.h"
#include "screen/DisplayServer.h"

namespace kl {

std::optional<Point> x11MouseLocation() {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return std::nullopt;
    auto* display = static_cast<Display*>(c->display());
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, Window(c->root()), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask))
        return std::nullopt;  // the pointer is on another screen of the server
    return DisplayServer::rootToGlobal(Point{double(rootX), double(rootY)});
}

}  // namespace kl

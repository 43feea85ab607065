#include "screen/input/X11InputTarget.h"

#include <cmath>

#include "platform/x11/X11Injection.h"

namespace kl {

void X11InputTarget::postKey(uint16_t keycode, bool down) {
    if (X11Connection* c = X11Connection::forThisThread()) x11InjectKey(*c, keycode, down);
}

void X11InputTarget::moveTo(Point p) {
    if (X11Connection* c = X11Connection::forThisThread()) x11InjectMotion(*c, int(std::lround(p.x)), int(std::lround(p.y)));
}

void X11InputTarget::button(unsigned button, bool down) {
    if (X11Connection* c = X11Connection::forThisThread()) x11InjectButton(*c, button, down);
}

std::optional<Point> X11InputTarget::pointerPosition() {
    X11Connection* c = X11Connection::forThisThread();
    auto p = c ? x11PointerPosition(*c) : std::nullopt;
    if (!p) return std::nullopt;
    return Point{double(p->first), double(p->second)};
}

}  // namespace kl

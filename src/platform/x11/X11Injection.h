// Synthetic pointer and keyboard input through the XTEST extension, on the caller's connection.
// The server treats these events as if they came from its own devices, so they pass through its
// keyboard state (modifiers, levels) and reach whichever window has the focus or the pointer.
#pragma once

#include <optional>
#include <utility>

#include "platform/x11/X11Connection.h"

namespace kl {

bool x11HasXTest(X11Connection& c);
// Absolute move on the root window's screen.
void x11InjectMotion(X11Connection& c, int x, int y);
// Buttons 1 left, 2 middle, 3 right, 4-7 wheel up, down, left, right.
void x11InjectButton(X11Connection& c, unsigned button, bool down);
void x11InjectKey(X11Connection& c, unsigned keycode, bool down);
std::optional<std::pair<int, int>> x11PointerPosition(X11Connection& c);
// The first keycode that holds keysym on any level; 0 when none does.
unsigned x11KeycodeForKeysym(X11Connection& c, unsigned long keysym);

}  // namespace kl

// Where the pointer is, asked of the X server on the calling thread's connection.
#pragma once

#include <optional>

#include "screen/KLGeometry.h"

namespace kl {

// Global coordinates (origin at the primary display's top-left corner); nothing without a server.
std::optional<Point> x11MouseLocation();

}  // namespace kl

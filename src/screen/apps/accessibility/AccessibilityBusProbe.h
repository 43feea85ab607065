// Whether the session's accessibility bus answers. libatspi ends the process when it cannot reach
// that bus, so it is asked first, the way libatspi finds it: $AT_SPI_BUS_ADDRESS, else the root
// window's AT_SPI_BUS property, else org.a11y.Bus on the session bus.
#pragma once

#include <optional>
#include <string>

namespace kl {

// The address of a bus that accepted a connection; none when no accessibility bus answers.
std::optional<std::string> probeAccessibilityBus();

}  // namespace kl

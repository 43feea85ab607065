// The identifier of the program that runs the tunnel, used to name its queues. The daemon's is
// the default; other programs set their own at start-up.
#pragma once

#include <string>

namespace kl {

std::string tunnexBundleIdentifier();
void setTunnexBundleIdentifier(std::string identifier);

}  // namespace kl

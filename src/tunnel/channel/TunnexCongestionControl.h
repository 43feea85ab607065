// Which congestion control the tunnel's UDT sockets use, per process: by setTunnexCongestionControl
// (a program's preference) or, when that was never called, by the environment variable KL_UDT_CC
// ("native" or "loss-tolerant"). The loss-tolerant control is the default: side by side it moves
// several times more than UDT's native one over randomly lossy links and more on a clean one, at
// the same round trip; the native one stays selectable for comparison.
#pragma once

#include <optional>
#include <string_view>

#include "tunnel/TunnexResult.h"

namespace kl {

enum class TunnexCongestionControl { LossTolerant, Native };

inline constexpr const char* kTunnexCongestionControlEnvironment = "KL_UDT_CC";

// "native" or "loss-tolerant"; anything else is no choice.
std::optional<TunnexCongestionControl> tunnexCongestionControlNamed(std::string_view name);

TunnexCongestionControl tunnexCongestionControl();
void setTunnexCongestionControl(TunnexCongestionControl control);

// Sets the control on a UDT socket that is not connected yet; UDT's error (logged) when it refuses.
TunnexResult<void> applyTunnexCongestionControl(int udtSocket, TunnexCongestionControl control);

}  // namespace kl

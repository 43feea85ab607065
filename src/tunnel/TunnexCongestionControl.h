// Which congestion control the tunnel's UDT sockets use, per process: by setTunnexCongestionControl
// (a program's preference) or, when that was never called, by the environment variable KL_UDT_CC
// ("native" or "loss-tolerant"). UDT's native control is the default: the loss-tolerant one moves
// several times more over randomly lossy links, but after a receiver has held the window closed
// for a while it can leave a channel silent for seconds before it sends again.
#pragma once

#include <optional>
#include <string_view>

namespace kl {

enum class TunnexCongestionControl { LossTolerant, Native };

inline constexpr const char* kTunnexCongestionControlEnvironment = "KL_UDT_CC";

// "native" or "loss-tolerant"; anything else is no choice.
std::optional<TunnexCongestionControl> tunnexCongestionControlNamed(std::string_view name);

TunnexCongestionControl tunnexCongestionControl();
void setTunnexCongestionControl(TunnexCongestionControl control);

// Sets the control on a UDT socket that is not connected yet; false when UDT refuses it.
bool applyTunnexCongestionControl(int udtSocket, TunnexCongestionControl control);

}  // namespace kl

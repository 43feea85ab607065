#include "tunnel/channel/TunnexCongestionControl.h"

#include <udt/ccc.h>
#include <udt/udt.h>

#include <atomic>
#include <cstdlib>

#include "foundation/KLTLogging.h"
#include "tunnel/channel/TunnexLossTolerantCC.h"

namespace kl {

namespace {

constexpr int kUnset = -1;
std::atomic<int> chosenControl{kUnset};

TunnexCongestionControl fromEnvironment() {
    const char* text = std::getenv(kTunnexCongestionControlEnvironment);
    if (!text) return TunnexCongestionControl::LossTolerant;
    if (auto control = tunnexCongestionControlNamed(text)) return *control;
    KLLog(kKLTLoggingLevelError, "Unknown UDT congestion control '%s' in %s; using the loss-tolerant one", text,
          kTunnexCongestionControlEnvironment);
    return TunnexCongestionControl::LossTolerant;
}

}  // namespace

std::optional<TunnexCongestionControl> tunnexCongestionControlNamed(std::string_view name) {
    if (name == "native") return TunnexCongestionControl::Native;
    if (name == "loss-tolerant") return TunnexCongestionControl::LossTolerant;
    return std::nullopt;
}

TunnexCongestionControl tunnexCongestionControl() {
    int chosen = chosenControl.load();
    if (chosen == kUnset) {
        // Read once: every socket of the process then agrees.
        int fromEnv = int(fromEnvironment());
        chosenControl.compare_exchange_strong(chosen, fromEnv);
        chosen = chosenControl.load();
    }
    return TunnexCongestionControl(chosen);
}

void setTunnexCongestionControl(TunnexCongestionControl control) { chosenControl.store(int(control)); }

TunnexResult<void> applyTunnexCongestionControl(int udtSocket, TunnexCongestionControl control) {
    // UDT's own control is what a socket has unless told otherwise.
    if (control == TunnexCongestionControl::Native) return {};
    CCCFactory<TunnexLossTolerantCC> factory;  // UDT keeps a clone
    if (UDT::setsockopt(udtSocket, 0, UDT_CC, &factory, sizeof factory) == UDT::ERROR) {
        TunnexError failure = TunnexError::lastUDT();
        KLLog(kKLTLoggingLevelError, "Setting the congestion control of UDT socket %d failed: %s", udtSocket,
              failure.description().c_str());
        return failure;
    }
    return {};
}

}  // namespace kl

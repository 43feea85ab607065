// Integer settings of the desktop's XSETTINGS manager (such as "Net/DoubleClickTime").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace kl {

// Nothing when no settings manager runs or it does not hold the setting.
std::optional<int32_t> x11SettingsInt(X11Connection& c, const std::string& name);
// Reads one integer from the raw settings property (exposed for tests); refuses malformed data.
std::optional<int32_t> parseXSettingsInt(const std::vector<uint8_t>& data, const std::string& name);

}  // namespace kl

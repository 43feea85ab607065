// The daemon's own version facts, fixed when the program is built.
#pragma once

#include <optional>
#include <string>

namespace kl {

struct PWDaemonBuildInfo {
    std::string version;             // the short version, "1.4.0"
    std::string revision;            // the build's revision number, "1402"
    std::optional<double> buildDate; // seconds since 1970-01-01 UTC
};

// Seconds between 1970-01-01 and 2001-01-01, the reference date of the check-in's "buildDate".
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

}  // namespace kl

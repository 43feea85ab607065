// The daemon's own version facts, fixed when the program is built.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kl {

struct PWDaemonBuildInfo {
    std::string version;             // the short version, "1.4.0"
    std::string revision;            // the build's revision number, "1402"
    std::optional<double> buildDate; // seconds since 1970-01-01 UTC
};

// Seconds between 1970-01-01 and 2001-01-01, the reference date of the check-in's "buildDate".
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

// The facts of the information property list the program carries (its ".kl_info_plist" section,
// which the control app reads to decide on upgrades), so that the daemon reports what the control
// app reads: "CFBundleShortVersionString", "CFBundleVersion" and the date "KLTBuildDate". Each one
// missing or of another type, or a list that does not parse, keeps fallback's value.
PWDaemonBuildInfo buildInfoFromInfoPlist(std::string_view infoPlist, PWDaemonBuildInfo fallback);

}  // namespace kl

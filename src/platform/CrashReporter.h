// Crash reports: handlers for SEGV, BUS, ILL, FPE and ABRT on an alternate stack write one file
// per crash (identifier, version, signal, fault address, backtrace) and re-raise the signal, so
// the process still dies of it. Nothing is sent anywhere; the next launch logs the new reports
// and keeps the newest 20.
//
// The handler only uses async-signal-safe calls: everything it needs (the folder's descriptor,
// the header text, the alternate stack) is prepared by install().
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kl {

class CrashReporter {
public:
    static constexpr size_t kKeptReports = 20;

    // $XDG_STATE_HOME/<identifier>/crashes, or ~/.local/state/<identifier>/crashes.
    static std::filesystem::path defaultFolder(const std::string& identifier);
    // Creates the folder and installs the handlers (once per process; later calls return false).
    static bool install(const std::string& identifier, const std::string& version,
                        const std::filesystem::path& folder);
    // Logs every report not logged before, marks it logged, and removes all but the newest
    // kKeptReports. The paths of the reports logged now.
    static std::vector<std::filesystem::path> logNewReports(const std::filesystem::path& folder);
};

}  // namespace kl

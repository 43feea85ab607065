// A snapshot of the process table from /proc: who runs what, so the app can tell its user's own
// processes from the others'.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kl {

struct KLTProcess {
    pid_t pid = 0;
    uid_t uid = 0;             // effective user
    std::string userName;      // "user name not found" when the password database has none
    std::string processName;   // the kernel's short command name (at most 15 characters)

    bool ownedByCurrentUser() const;
    // Sends SIGTERM; refuses pid <= 0 (a process group or every process) and the caller itself.
    bool terminate() const;

    // Sends SIGTERM to every process of the current user whose program file is named programName,
    // except the caller; how many were signalled.
    static int terminateOwnProcessesRunning(const std::string& programName,
                                            const std::filesystem::path& procRoot = "/proc");

    // pid -> process; nullopt when procRoot cannot be read. Processes that end during the scan
    // are left out.
    static std::optional<std::map<pid_t, KLTProcess>> getCurrentProcesses(
        const std::filesystem::path& procRoot = "/proc");
};

}  // namespace kl

// Restarting the control app (the daemon's message 5): a private copy of the bundle's relaunch
// tool, in a fresh folder of the session's runtime directory, waits for this process to end and
// starts the app again. The caller then terminates.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace kl {

inline constexpr const char* kRelaunchToolName = "portweaver-relaunch";

// Starts the copied tool with [bundle, pid]; the copy's path, or nothing when it failed.
std::optional<std::filesystem::path> startRelaunchTool(const std::filesystem::path& bundle, pid_t pid);

}  // namespace kl

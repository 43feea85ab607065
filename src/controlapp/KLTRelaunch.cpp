#include "controlapp/KLTRelaunch.h"

#include <spawn.h>
#include <stdlib.h>

#include <string>

#include "foundation/KLTLogging.h"
#include "platform/Paths.h"

extern char** environ;

namespace kl {

std::optional<std::filesystem::path> startRelaunchTool(const std::filesystem::path& bundle, pid_t pid) {
    // mkdtemp gives a folder nobody else can have prepared: a fixed name in a shared folder could
    // be taken over before the copy lands there.
    std::string pattern = (paths::runtimeDir() / "portweaver-relaunch-XXXXXX").string();
    std::error_code error;
    std::filesystem::create_directories(paths::runtimeDir(), error);
    if (!::mkdtemp(pattern.data())) {
        KLLog(kKLTLoggingLevelError, "Relaunch: cannot make a folder in %s", paths::runtimeDir().c_str());
        return std::nullopt;
    }
    const std::filesystem::path copy = std::filesystem::path(pattern) / kRelaunchToolName;
    std::filesystem::copy_file(bundle / "libexec" / kRelaunchToolName, copy, error);
    if (error) {
        KLLog(kKLTLoggingLevelError, "Relaunch: cannot copy the tool: %s", error.message().c_str());
        return std::nullopt;
    }
    std::string tool = copy.string(), bundleArg = bundle.string(), pidArg = std::to_string(pid);
    char* args[] = {tool.data(), bundleArg.data(), pidArg.data(), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, tool.c_str(), nullptr, nullptr, args, environ) != 0) {
        KLLog(kKLTLoggingLevelError, "Relaunch: cannot start the tool");
        return std::nullopt;
    }
    return copy;
}

}  // namespace kl

#include "daemon/PWInstalledFiles.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace kl {

namespace {

bool isPresent(const std::filesystem::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

PWInstalledFiles PWInstalledFiles::current() {
    PWInstalledFiles files;
    auto unitDir = paths::system(installed::kSystemdUnitDir);
    files.units = {unitDir / installed::kDaemonServiceUnit, unitDir / installed::kDaemonSocketUnit};
    files.autostartEntry = paths::system(installed::kScreenServiceAutostartEntry);
    files.program = paths::system(installed::kDaemonProgram);
    files.socket = ipc::socketPathForService(kPWControlServiceName);
    return files;
}

bool removeInstalledFiles(const PWInstalledFiles& files) {
    KLLog(kKLTLoggingLevelInfo, "Removing plist and tool");
    for (const auto& unit : files.units)
        if (isPresent(unit) && ::unlink(unit.c_str()) != 0)
            KLLog(kKLTLoggingLevelError, "Error removing LaunchDaemons plist: %s (%s)", kPWDaemonJobLabel, std::strerror(errno));
    int status = 0;
    if (isPresent(files.autostartEntry) && ::unlink(files.autostartEntry.c_str()) != 0) {
        status = errno;
        KLLog(kKLTLoggingLevelError, "Error removing Launch Agent plist: %s (%s)", "com.kelvaro.portweaver.service.deskgate",
              std::strerror(status));
    }
    if (status == 0 && isPresent(files.program) && ::unlink(files.program.c_str()) != 0) {
        status = errno;
        KLLog(kKLTLoggingLevelError, "Error removing tool: %s (%s)", kPWDaemonJobLabel, std::strerror(status));
    }
    if (status == 0 && isPresent(files.socket) && ::unlink(files.socket.c_str()) != 0 && errno != ENOENT) {
        status = errno;
        KLLog(kKLTLoggingLevelInfo, "Error removing service socket: %s (%s)", kPWControlServiceName, std::strerror(status));
    }
    return status == 0;
}

void removeInstalledProgram(const PWInstalledFiles& files) {
    KLLog(kKLTLoggingLevelDebug, "Removing tool only");
    if (isPresent(files.program) && ::unlink(files.program.c_str()) != 0)
        KLLog(kKLTLoggingLevelError, "Error removing tool: %s (%s)", kPWDaemonJobLabel, std::strerror(errno));
}

bool runBySystemd() {
    // systemd names every service invocation and is the parent of what it starts; a daemon
    // started by hand (or by a test) from such a service's environment inherits only the name.
    return std::getenv("INVOCATION_ID") != nullptr && ::getppid() == 1;
}

int UnloadOurLaunchdJob() {
    if (!runBySystemd()) return 1;
    // --no-block: stopping our own unit must not wait for us, who are being stopped.
    int status = runProgram({"systemctl", "--no-block", "disable", "--now", installed::kDaemonSocketUnit,
                             installed::kDaemonServiceUnit});
    if (status == -1) {
        KLLog(kKLTLoggingLevelDebug, "launch_msg(): %s", "RemoveJob");
        return 1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    KLLog(kKLTLoggingLevelError, "launchd remove error: %s", "systemctl failed");
    return 1;
}

}  // namespace kl

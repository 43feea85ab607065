#include "controlapp/KLTDaemonBlessing.h"

#include <sys/wait.h>
#include <unistd.h>

#include "foundation/KLTLogging.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace kl {

namespace {

// pkexec's own exit statuses: the user was not authorised, or dismissed the dialog.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecDismissed = 127;

}  // namespace

std::vector<std::string> rootHelperCommand(const std::filesystem::path& bundlePath, bool asRoot) {
    std::string helper = (bundlePath / "libexec" / kRootHelperName).string();
    std::vector<std::string> argv;
    if (!asRoot) argv.push_back("pkexec");
    argv.insert(argv.end(), {helper, "install-daemon", bundlePath.string()});
    return argv;
}

KLTBlessResult blessDaemonWithRootHelper(const std::string& bundlePath) {
    bool asRoot = ::geteuid() == 0;
    int status = runProgram(rootHelperCommand(bundlePath, asRoot));
    if (status == -1) {
        KLLog(kKLTLoggingLevelError, "Couldn't start %s", asRoot ? kRootHelperName : "pkexec");
        // Without pkexec there is no way to ask for credentials: the same as a refusal.
        return asRoot ? KLTBlessResult::Failed : KLTBlessResult::Refused;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        // Without systemd nothing listens on the control socket for the daemon: it has to be
        // started, listening on its own.
        std::error_code error;
        if (!std::filesystem::is_directory(paths::system("/run/systemd/system"), error)) {
            auto start = rootHelperCommand(bundlePath, asRoot);
            start.resize(start.size() - 2);
            start.push_back("start-daemon");
            int started = runProgram(start);
            if (!WIFEXITED(started) || WEXITSTATUS(started) != 0)
                KLLog(kKLTLoggingLevelError, "%s couldn't start the daemon", kRootHelperName);
        }
        return KLTBlessResult::Installed;
    }
    if (!asRoot && WIFEXITED(status) &&
        (WEXITSTATUS(status) == kPkexecNotAuthorized || WEXITSTATUS(status) == kPkexecDismissed))
        return KLTBlessResult::Refused;
    KLLog(kKLTLoggingLevelError, "%s failed with status %d", kRootHelperName, status);
    return KLTBlessResult::Failed;
}

}  // namespace kl

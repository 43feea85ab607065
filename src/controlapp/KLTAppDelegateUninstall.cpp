// Uninstalling the whole system from the control app: the daemon removes its side first, then the
// app removes the user's side and its own bundle, and leaves.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "controlapp/KLIPCReading.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTDaemonBlessing.h"
#include "controlapp/desktop/AppcastUpdater.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/desktop/KLTProcess.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "platform/Preferences.h"
#include "platform/Process.h"

extern char** environ;

namespace kl {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppIdentifier = "com.kelvaro.portweaver.controlapp";
constexpr const char* kScreenServiceProgram = "com.kelvaro.portweaver.service.deskgate";
constexpr const char* kPackageName = "portweaver";
constexpr size_t kMaxQueryOutput = 64 * 1024;

// Standard output of argv (searched in PATH), or nothing when it did not run or failed.
std::optional<std::string> outputOf(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string output;
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            // Read on past the limit so the child never blocks on a full pipe.
            if (output.size() < kMaxQueryOutput) output.append(buffer, size_t(n));
        }
    }
    ::close(fds[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}

// dpkg answers "<package>: <path>" for a file one package owns; a shared file lists several
// packages before the colon, separated by ", ".
bool ourPackageOwns(const std::string& bundlePath) {
    auto answer = outputOf({"dpkg-query", "-S", (fs::path(bundlePath) / "bin/portweaver").string()});
    if (!answer) return false;
    const std::string owners = answer->substr(0, answer->find(':'));
    return owners == kPackageName;
}

bool runBundleRootHelper(const std::string& bundlePath, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (::geteuid() != 0) argv.push_back("pkexec");
    argv.push_back((fs::path(bundlePath) / "libexec" / kRootHelperName).string());
    argv.insert(argv.end(), args.begin(), args.end());
    int status = runProgram(argv);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Only a real folder (not a link) whose Info.plist names the control app is ever removed, so a
// wrong bundle path cannot take anything else with it.
bool isMarkedBundle(const fs::path& bundle) {
    struct stat status {};
    if (::lstat(bundle.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    if (::lstat((bundle / "Info.plist").c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return controlAppBundleVersion(bundle).has_value();
}

void removeFileLogging(const fs::path& path, const char* format) {
    std::error_code error;
    if (!fs::remove(path, error) && !error) error = std::make_error_code(std::errc::no_such_file_or_directory);
    if (error) KLLog(kKLTLoggingLevelError, format, (path.string() + ": " + error.message()).c_str());
}

}  // namespace

void KLTAppDelegate::uninstall() {
    if (!createDaemonConnection()) return;
    IPCRef message = ipcAdopt(klipc_dictionary_create());
    if (!message) return;
    klipc_dictionary_set_uint64(message.get(), kPWKeyCommand, ePWControlAppToDaemonCommandUninstall);
    // The daemon lets only an administrator remove the system; the item keeps the request's shape.
    addAuthorization(message.get(), "uninstall");
    KLLog(kKLTLoggingLevelDebug, "uninstall: kPWKeyCommand, ePWControlAppToDaemonCommandUninstall");
    sendWithReply(daemonConnection_, message.get(), [](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t reply) {
        // A daemon that answers false stays installed: stripping the user's side would leave a
        // system that runs on without its app.
        if (type == KLIPC_OK && !klipc_dictionary_get_bool(reply, "succeeded")) {
            KLLog(kKLTLoggingLevelError, "The daemon refused to uninstall; nothing was removed");
            self.uninstallRefused.emit();
            return;
        }
        // Consent, or a daemon that is gone: the daemon's side needs nothing more from us.
        self.cancelDaemonConnection();
        self.removeLocalInstallation();
    });
}

void KLTAppDelegate::removeLocalInstallation() {
    updateSignInState(0);

    if (auto file = Preferences::fileForDomain(kAppIdentifier)) {
        Preferences(kAppIdentifier).synchronize();
        removeFileLogging(*file, "Error removing preferences: %s");
    }
    if (options_.servicesManager) {
        if (auto archive = PWServicesManager::hostItemArchivePath())
            removeFileLogging(*archive, "Error removing archive: %s");
    }

    KLTLaunchServices::deleteAppFromLoginItem(loginItemProgram(), false);
    const fs::path service = fs::path(options_.bundlePath) / "libexec" / kScreenServiceProgram;
    std::error_code error;
    if (!options_.bundlePath.empty() && fs::is_regular_file(service, error)) {
        KLTLaunchServices::deleteAppFromLoginItem(service.string(), false);
        // Only a real change runs the helper (and asks for a password).
        if (KLTLaunchServices::appExistsInLoginItems(service.string(), true))
            KLTLaunchServices::deleteAppFromLoginItem(service.string(), true);
    }
    removeSystemWideLoginItem();

    if (options_.servicesManager) {
        // A scan must not start the screen service again once it is told to go.
        options_.servicesManager->endReportingServicesAvailability();
        auto table = KLTProcess::getCurrentProcesses();
        for (const auto& running : options_.servicesManager->runningServices()) {
            // Built-in services have no process (pid 0); another user's copy is not ours to end.
            if (running.pid == 0 || running.pid > uint64_t(INT_MAX) || !table) continue;
            auto process = table->find(pid_t(running.pid));
            if (process == table->end() || !process->second.ownedByCurrentUser()) continue;
            process->second.terminate();
        }
    }

    removeBundle();
    withViews([](auto& v) { v.terminate(); });
}

void KLTAppDelegate::removeBundle() {
    const std::string& bundle = options_.bundlePath;
    if (bundle.empty()) return;
    auto packaged = uninstallHooks.packageOwnsBundle ? uninstallHooks.packageOwnsBundle : ourPackageOwns;
    if (packaged(bundle)) {
        auto helper = uninstallHooks.runRootHelper
                          ? uninstallHooks.runRootHelper
                          : [bundle](const std::vector<std::string>& args) { return runBundleRootHelper(bundle, args); };
        if (!helper({"remove-package"}))
            KLLog(kKLTLoggingLevelError, "KLTPortweaver:%s:Error:%s", "remove-package", "the package was not removed");
        return;
    }
    if (!isMarkedBundle(bundle)) {
        KLLog(kKLTLoggingLevelError, "KLTPortweaver:%s:Error:%s", "removeItemAtPath",
              (bundle + " is not the app's bundle").c_str());
        return;
    }
    std::error_code error;
    fs::remove_all(bundle, error);
    if (error)
        KLLog(kKLTLoggingLevelError, "KLTPortweaver:%s:Error:%s", "removeItemAtPath", error.message().c_str());
}

}  // namespace kl

#include "RootHelper.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "RootHelperUnits.h"
#include "platform/Files.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"

extern char** environ;

namespace kl::roothelper {

namespace {

constexpr size_t kMaxInfoPlist = 64 * 1024;
constexpr size_t kMaxDaemonProgram = size_t(1) << 30;

void say(const std::string& text) { std::fprintf(stderr, "portweaver-root-helper: %s\n", text.c_str()); }

bool isRegularNotLink(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool systemdRuns() {
    std::error_code error;
    return std::filesystem::is_directory(paths::system("/run/systemd/system"), error);
}

bool systemctl(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/systemctl");
    int status = runProgram(args);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        say("systemctl " + args[1] + " failed");
        return false;
    }
    return true;
}

// Ends daemons that run the installed program outside systemd (self-listening ones).
void stopSelfListeningDaemons(const std::filesystem::path& program) {
    std::error_code error;
    std::vector<pid_t> stopped;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        auto exe = std::filesystem::read_symlink(it->path() / "exe", linkError);
        if (linkError || exe != program) continue;
        pid_t pid = pid_t(std::stol(name));
        if (::kill(pid, SIGTERM) == 0) stopped.push_back(pid);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (pid_t pid : stopped)
        while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

bool validDaemonSource(const std::filesystem::path& bundle, std::filesystem::path& daemon, std::string& why) {
    std::error_code error;
    if (!std::filesystem::is_directory(bundle, error)) {
        why = "not a folder";
        return false;
    }
    const auto infoPath = bundle / "Info.plist";
    if (!isRegularNotLink(infoPath)) {
        why = "no Info.plist: not a bundle";
        return false;
    }
    auto text = readFile(infoPath, kMaxInfoPlist);
    auto info = text ? valueFromPlist(*text) : Result<Value>(text.error());
    const Dictionary* dictionary = info ? info->asDictionary() : nullptr;
    const Value* identifier = dictionary ? dictionary->find("CFBundleIdentifier") : nullptr;
    if (!identifier || !identifier->asString() || *identifier->asString() != kBundleIdentifier) {
        why = "not the control app's bundle";
        return false;
    }
    daemon = bundle / "libexec" / std::filesystem::path(installed::kDaemonProgram).filename();
    if (!isRegularNotLink(daemon)) {
        why = "the bundle's daemon is not a regular file";
        return false;
    }
    return true;
}

int installDaemon(const std::filesystem::path& bundle) {
    std::filesystem::path source;
    std::string why;
    if (!validDaemonSource(bundle, source, why)) {
        say("refused " + bundle.string() + ": " + why);
        return kExitRefusedSource;
    }
    // Read through a descriptor that cannot follow a link swapped in since the check.
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || size_t(status.st_size) > kMaxDaemonProgram) {
        if (fd >= 0) ::close(fd);
        say("cannot read " + source.string());
        return kExitRefusedSource;
    }
    std::string program(size_t(status.st_size), '\0');
    size_t done = 0;
    while (done < program.size()) {
        ssize_t n = ::pread(fd, program.data() + done, program.size() - done, off_t(done));
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    if (done != program.size()) {
        say("cannot read " + source.string());
        return kExitFailed;
    }

    const bool withSystemd = systemdRuns();
    const auto target = paths::system(installed::kDaemonProgram);
    if (withSystemd)
        systemctl({"stop", installed::kDaemonSocketUnit, installed::kDaemonServiceUnit});
    stopSelfListeningDaemons(target);

    if (auto written = writeFileAtomically(target, program, 0755); !written) {
        say("cannot write " + target.string() + ": " + written.error().description());
        return kExitFailed;
    }
    const auto unitDir = paths::system(installed::kSystemdUnitDir);
    for (auto [name, text] : {std::pair{installed::kDaemonServiceUnit, kserviceUnit},
                              std::pair{installed::kDaemonSocketUnit, ksocketUnit}}) {
        if (auto written = writeFileAtomically(unitDir / name, text, 0644); !written) {
            say("cannot write " + (unitDir / name).string() + ": " + written.error().description());
            return kExitFailed;
        }
    }
    if (withSystemd &&
        !(systemctl({"daemon-reload"}) && systemctl({"enable", "--now", installed::kDaemonSocketUnit})))
        return kExitFailed;
    return kExitOK;
}

int startDaemon() {
    const auto program = paths::system(installed::kDaemonProgram);
    if (!isRegularNotLink(program)) {
        say("no daemon installed at " + program.string());
        return kExitFailed;
    }
    // Detached from the helper: its own session, standard streams on /dev/null.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int stream : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_RDWR, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string path = program.string();
    char* args[] = {path.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        say("cannot start " + path);
        return kExitFailed;
    }
    return kExitOK;
}

int run(const std::vector<std::string>& args) {
    if (::geteuid() != 0) {
        say("must run as root");
        return kExitNotRoot;
    }
    if (args.size() == 2 && args[0] == "install-daemon") return installDaemon(args[1]);
    if (args.size() == 1 && args[0] == "start-daemon") return startDaemon();
    if (args.size() == 2 && args[0] == "add-login-item") return addLoginItem(args[1]);
    if (args.size() == 2 && args[0] == "remove-login-item") return removeLoginItem(args[1]);
    if (args.size() == 2 && args[0] == "install-package") return installPackage(args[1]);
    if (args.size() == 1 && args[0] == "remove-package") return removePackage();
    if (args.size() == 2 && args[0] == "move-bundle") return moveBundle(args[1]);
    say("usage: portweaver-root-helper install-daemon <bundle> | start-daemon | add-login-item <program> | "
        "remove-login-item <program> | install-package <file.deb> | remove-package | move-bundle <bundle>");
    return kExitUsage;
}

}  // namespace kl::roothelper

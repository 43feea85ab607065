// The control app program's start-up with real processes: the bundle of the build tree, the real
// daemon on a private socket folder, and an unprivileged user (when the tests run as root) whose
// session folders live in one temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "DaemonTestSupport.h"
#include "support/XvfbServer.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/Files.h"
#include "platform/InstalledPaths.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kScreenService = KL_BUNDLE_DIR "/libexec/com.kelvaro.portweaver.service.deskgate";
constexpr uid_t kNobody = 65534;

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class AppProgram : public ::testing::Test {
protected:
    void SetUp() override {
        // A folder an unprivileged user may use: the test's own root is private to root.
        char pattern[] = "/tmp/kl-startup-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        shared_ = pattern;
        for (const char* folder : {"", "home", "runtime", "root", "sockets"}) {
            fs::create_directories(shared_ / folder);
            ::chmod((shared_ / folder).c_str(), 0777);
        }
        // The session folder belongs to its user alone, as the login manager makes it.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown((shared_ / "runtime").c_str(), kNobody, kNobody), 0);
            ::chmod((shared_ / "runtime").c_str(), 0700);
        }
        test::DaemonProcess::Options options;
        options.environment = {{"KL_ROOT", (shared_ / "root").string()},
                               {ipc::kSocketDirEnvironment, (shared_ / "sockets").string()}};
        daemon_ = std::make_unique<test::DaemonProcess>(options);
        ::setenv(ipc::kSocketDirEnvironment, (shared_ / "sockets").c_str(), 1);
        ASSERT_TRUE(daemon_->waitUntilListening()) << daemon_->log();
        // The installed daemon's file: with it and a daemon of the same revision, nothing is installed.
        const fs::path installed = shared_ / "root" / fs::path(installed::kDaemonProgram).relative_path();
        fs::create_directories(installed.parent_path());
        std::ofstream(installed) << "daemon";
    }
    void TearDown() override {
        for (pid_t pid : apps_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (pid_t pid : screenServices()) ::kill(pid, SIGKILL);
        daemon_.reset();
        std::error_code error;
        fs::remove_all(shared_, error);
    }

    // Starts the app of the build tree's bundle; its output goes to <name>.log. With a gate (a
    // pipe), the program starts only once the test closes the gate's write end.
    pid_t startApp(const std::string& name, const int* gate = nullptr) {
        const fs::path log = shared_ / (name + ".log");
        std::vector<std::string> variables = {
            "KL_ROOT=" + (shared_ / "root").string(),
            std::string(ipc::kSocketDirEnvironment) + "=" + (shared_ / "sockets").string(),
            "HOME=" + (shared_ / "home").string(),
            "XDG_CONFIG_HOME=" + (shared_ / "home/.config").string(),
            "XDG_DATA_HOME=" + (shared_ / "home/.local/share").string(),
            "XDG_STATE_HOME=" + (shared_ / "home/.local/state").string(),
            "XDG_RUNTIME_DIR=" + (shared_ / "runtime").string(),
            "QT_QPA_PLATFORM=offscreen",
            "ASAN_OPTIONS=detect_leaks=0",
            "PATH=/usr/bin:/bin",
            "KL_LOG_STDERR=1",
            "KL_SCREEN_MAIN_PORT=" + std::to_string(test::freeLoopbackPort(SOCK_STREAM)),
            "KL_SCREEN_CLIENT_SIDEBAND_PORT=" + std::to_string(test::freeLoopbackPort(SOCK_DGRAM)),
            "KL_SCREEN_SERVER_SIDEBAND_PORT=" + std::to_string(test::freeLoopbackPort(SOCK_DGRAM)),
        };
        if (!display_.empty()) variables.push_back("DISPLAY=" + display_);
        std::vector<char*> env;
        for (auto& v : variables) env.push_back(v.data());
        env.push_back(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            ::dup2(out, 1);
            ::dup2(out, 2);
            if (gate) {
                ::close(gate[1]);
                char c;
                (void)!::read(gate[0], &c, 1);
            }
            if (::geteuid() == 0)
                ::execle("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KL_APP_PATH,
                         nullptr, env.data());
            else
                ::execle(KL_APP_PATH, KL_APP_PATH, nullptr, env.data());
            ::_exit(127);
        }
        apps_.push_back(pid);
        return pid;
    }
    std::string log(const std::string& name) const { return fileText(shared_ / (name + ".log")); }
    // The raw wait status once pid ended, or nothing.
    std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
        int status = 0;
        if (!test::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) return std::nullopt;
        std::erase(apps_, pid);
        return status;
    }
    bool running(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

    fs::path defaultsFile() const {
        return shared_ / "home/.config/Kelvaro/Preferences/com.kelvaro.portweaver.controlapp.plist";
    }
    std::optional<bool> storedDefault(const std::string& key) const {
        auto text = readFile(defaultsFile(), 1 << 20);
        if (!text.ok()) return std::nullopt;
        auto value = valueFromPlist(*text);
        const Value* found = value && value->isDictionary() ? value->get(key) : nullptr;
        return found ? found->asBool() : std::nullopt;
    }
    std::set<std::string> autostartPrograms() const {
        std::set<std::string> programs;
        if (auto entries = KLTLaunchServices::listEntries(shared_ / "home/.config/autostart"))
            for (const auto& [file, program] : *entries) programs.insert(program);
        return programs;
    }
    // The bundle's screen services of this test's session.
    std::vector<pid_t> screenServices() const {
        std::vector<pid_t> found;
        const std::string session = "XDG_RUNTIME_DIR=" + (shared_ / "runtime").string();
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/proc", error)) {
            std::error_code linkError;
            if (fs::read_symlink(entry.path() / "exe", linkError) != fs::path(kScreenService)) continue;
            std::string environment = fileText(entry.path() / "environ");
            std::replace(environment.begin(), environment.end(), '\0', '\n');
            if ((environment + "\n").find(session + "\n") != std::string::npos)
                found.push_back(pid_t(std::stoi(entry.path().filename().string())));
        }
        return found;
    }
    static pid_t parentOf(pid_t pid) {
        std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("PPid:", 0) == 0) return pid_t(std::stoi(line.substr(5)));
        return -1;
    }

    fs::path shared_;
    std::unique_ptr<test::DaemonProcess> daemon_;
    std::vector<pid_t> apps_;
    std::string display_;
};

TEST_F(AppProgram, OfTwoCopiesStartedTogetherOneRunsAndTheOtherQuitsWithZeroLeavingTheDefaults) {
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    const pid_t copies[] = {startApp("a", gate), startApp("b", gate)};
    ::close(gate[0]);
    ::close(gate[1]);  // both start now

    std::optional<int> status;
    size_t quitter = 0;
    ASSERT_TRUE(test::waitFor(
        [&] {
            for (size_t i = 0; i < 2 && !status; ++i) {
                int s = 0;
                if (::waitpid(copies[i], &s, WNOHANG) != copies[i]) continue;
                status = s;
                quitter = i;
            }
            return status.has_value();
        },
        60s))
        << log("a") << log("b");
    std::erase(apps_, copies[quitter]);
    const pid_t runner = copies[1 - quitter];
    const std::string quitterLog = log(quitter == 0 ? "a" : "b");
    ASSERT_TRUE(WIFEXITED(*status)) << quitterLog;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << quitterLog;
    EXPECT_NE(quitterLog.find("Port Weaver is already running"), std::string::npos) << quitterLog;

    // The one that runs finishes its start-up: the first run is over and it starts at login.
    ASSERT_TRUE(test::waitFor([&] { return storedDefault("firstRun") == false; }, 60s)) << log("a") << log("b");
    EXPECT_TRUE(running(runner));
    EXPECT_EQ(storedDefault("startAtLogin"), true);
    EXPECT_EQ(autostartPrograms(), (std::set<std::string>{KL_APP_PATH, kScreenService}));

    // A later copy leaves the running one and the defaults as they are.
    const std::string defaults = fileText(defaultsFile());
    const pid_t later = startApp("c");
    auto laterStatus = waitForExit(later, 60s);
    ASSERT_TRUE(laterStatus) << log("c");
    ASSERT_TRUE(WIFEXITED(*laterStatus)) << log("c");
    EXPECT_EQ(WEXITSTATUS(*laterStatus), 0) << log("c");
    EXPECT_NE(log("c").find("Port Weaver is already running"), std::string::npos) << log("c");
    EXPECT_TRUE(running(runner));
    EXPECT_EQ(fileText(defaultsFile()), defaults);
}

TEST_F(AppProgram, AKilledScreenServiceIsStartedAgain) {
    test::XvfbServer xvfb({"-screen", "0", "640x480x24"});
    if (xvfb.display().empty()) GTEST_SKIP() << "no Xvfb to run the screen service on";
    display_ = xvfb.display();
    const pid_t app = startApp("app");

    std::vector<pid_t> services;
    ASSERT_TRUE(test::waitFor([&] { return (services = screenServices()).size() == 1; }, 60s)) << log("app");
    const pid_t first = services[0];
    // Detached: the app is not its parent, so its end leaves no zombie in the app.
    EXPECT_NE(parentOf(first), app);
    ASSERT_EQ(::kill(first, SIGKILL), 0);

    // The services scan (every 7 s) misses it and the app starts it again.
    ASSERT_TRUE(test::waitFor(
        [&] {
            services = screenServices();
            return services.size() == 1 && services[0] != first;
        },
        60s))
        << log("app");
    EXPECT_TRUE(running(app)) << log("app");
}

}  // namespace
}  // namespace kl

// The daemon removing itself (request 2) or making way for an upgrade (request 8), the right to ask
// for either, and the connection-request file of request 13, which root writes in a folder every
// user can write to.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "DaemonTestSupport.h"
#include "platform/AdminRule.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::command;
using test::DaemonProcess;
using test::TestControlApp;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const Dictionary kAuthorization{{"authorization", Value(Bytes(32, 7))}};

// Where an installation puts the daemon's files, under a daemon's root.
const char* const kUnits[] = {"/etc/systemd/system/com.kelvaro.portweaver.daemon.service",
                              "/etc/systemd/system/com.kelvaro.portweaver.daemon.socket"};
const char* const kAutostart = "/etc/xdg/autostart/com.kelvaro.portweaver.service.deskgate.desktop";
const char* const kProgram = "/usr/libexec/portweaver/com.kelvaro.portweaver.daemon";

DaemonProcess::Options installed() {
    DaemonProcess::Options options;
    for (const char* file : {kUnits[0], kUnits[1], kAutostart, kProgram}) options.rootFiles[file] = "installed\n";
    return options;
}

bool present(const DaemonProcess& daemon, const char* file) {
    struct stat info{};
    return ::lstat((daemon.root() / fs::path(file).relative_path()).c_str(), &info) == 0;
}

bool exitedCleanly(DaemonProcess& daemon) {
    auto status = daemon.waitForExit(10s);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

class DaemonRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        // The test process is the authorised control app.
        if (!isAdministrator(::geteuid())) GTEST_SKIP() << "needs root or an administrator to be granted removal";
    }
};

TEST_F(DaemonRemoval, UninstallRemovesWhatIsThereAndEndsTheDaemon) {
    struct Case {
        const char* name;
        bool installed;
    } cases[] = {{"every file installed", true}, {"none of the files exists", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonProcess daemon(c.installed ? installed() : DaemonProcess::Options{});
        ASSERT_TRUE(daemon.waitUntilListening());
        TestControlApp app;
        auto reply = app.request(command(2, kAuthorization));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->find("succeeded")->asBool(), true);
        for (const char* file : {kUnits[0], kUnits[1], kAutostart, kProgram}) EXPECT_FALSE(present(daemon, file)) << file;
        EXPECT_FALSE(fs::exists(daemon.socketPath()));
        EXPECT_TRUE(exitedCleanly(daemon)) << "not run by systemd, the daemon ends itself after the reply";
        EXPECT_EQ(daemon.logCount("Removing daemon job"), 1u);
    }
}

TEST_F(DaemonRemoval, UninstallThatCannotRemoveTheAutostartEntryKeepsTheRestAndRuns) {
    DaemonProcess::Options options = installed();
    options.rootFiles.erase(kAutostart);
    // A folder with something in it is not removed by unlink.
    options.rootFiles[std::string(kAutostart) + "/keep"] = "x";
    DaemonProcess daemon(options);
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    auto reply = app.request(command(2, kAuthorization));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("succeeded")->asBool(), false);
    EXPECT_FALSE(present(daemon, kUnits[0]));
    EXPECT_TRUE(present(daemon, kProgram)) << "the removals after the failure are skipped";
    EXPECT_TRUE(fs::exists(daemon.socketPath()));
    EXPECT_TRUE(app.request(command(14))) << "the daemon stays to serve";
    EXPECT_EQ(daemon.logCount("Removing daemon job"), 0u);
    EXPECT_EQ(daemon.logCount("Error removing Launch Agent plist"), 1u);
}

TEST_F(DaemonRemoval, PrepareForUpgradeRemovesOnlyTheProgramAndEnds) {
    DaemonProcess daemon(installed());
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp app;
    auto reply = app.request(command(8, kAuthorization));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->find("succeeded")->asBool(), true);
    EXPECT_FALSE(present(daemon, kProgram));
    for (const char* file : {kUnits[0], kUnits[1], kAutostart}) EXPECT_TRUE(present(daemon, file)) << file;
    EXPECT_TRUE(exitedCleanly(daemon));
}

// Runs the control client as nobody; its JSON output.
std::string runAsNobody(const DaemonProcess& daemon, const std::string& arguments) {
    // The client's program and the daemon's socket folder must be reachable by nobody.
    for (fs::path dir = daemon.socketDir(); dir != test::tempRoot().parent_path() && dir != dir.root_path(); dir = dir.parent_path())
        ::chmod(dir.c_str(), 0711);
    std::string line = "ASAN_OPTIONS=detect_leaks=0 KLIPC_SOCKET_DIR=" + daemon.socketDir().string() +
                       " /usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups " + KL_CONTROL_CLIENT_PATH +
                       " --timeout 10 " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        ::pclose(pipe);
    }
    return output;
}

TEST(DaemonAuthorization, AnUnprivilegedUserIsRefusedRemovalUpgradeAndTheOtherAppsQuit) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client as another user";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
    DaemonProcess daemon(installed());
    ASSERT_TRUE(daemon.waitUntilListening());
    TestControlApp other;
    ASSERT_TRUE(other.request(command(14)));
    const std::string authorization = " authorization:x=" + std::string(64, '7');
    for (const char* request : {"2", "8"}) {
        SCOPED_TRACE(request);
        std::string output = runAsNobody(daemon, request + authorization);
        EXPECT_NE(output.find("\"succeeded\":false"), std::string::npos) << output;
    }
    runAsNobody(daemon, "--no-reply 11" + authorization);
    runAsNobody(daemon, "--no-reply 12" + authorization);
    for (const char* file : {kUnits[0], kUnits[1], kAutostart, kProgram}) EXPECT_TRUE(present(daemon, file)) << file;
    ASSERT_TRUE(other.request(command(14))) << "the daemon still serves";
    EXPECT_FALSE(other.hasMessage(4));
    EXPECT_FALSE(other.hasMessage(5));
    // 11 and 12 expect no reply, so their refusals may be logged after the request above is answered.
    EXPECT_TRUE(test::waitFor([&] { return daemon.logCount("Event handler: Couldn't get rights") >= 4u; }));
}

TEST(DaemonConnectionRequest, WritesOnlyARegularFileOfItsOwnAndKeepsItsTail) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.waitUntilListening());
    fs::path file = daemon.root() / "tmp/com.kelvaro.portweaver.service";
    fs::path target = daemon.root() / "target";
    TestControlApp app;
    auto simulate = [&] {
        app.requestAsync(command(13));
        ASSERT_TRUE(app.request(command(14)));  // 13 has no reply; 14's comes after it was handled
    };
    auto read = [](const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };

    // A link planted at the file's place, and a second name of another file: neither is written.
    std::ofstream(target) << "precious";
    fs::create_directories(file.parent_path());
    fs::create_symlink(target, file);
    simulate();
    EXPECT_EQ(read(target), "precious");
    fs::remove(file);
    fs::create_hard_link(target, file);
    simulate();
    EXPECT_EQ(read(target), "precious");
    fs::remove(file);

    // Created 0644 by the first request; a longer old content keeps its tail.
    simulate();
    struct stat info{};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(read(file), "127.0.0.1:7001");
    std::ofstream(file) << "255.255.255.255:65535 and more";
    simulate();
    simulate();
    EXPECT_EQ(read(file), "127.0.0.1:70015:65535 and more");
}

}  // namespace
}  // namespace kl

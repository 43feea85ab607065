// The root helper program, run as root on a private system root (KL_ROOT), where no systemd runs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "controlapp/KLTDaemonBlessing.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "platform/Process.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RootHelper : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the helper only runs as root";
        bundle_ = test::makeTempDir("bundle");
        std::filesystem::create_directories(bundle_ / "libexec");
        writeInfo("com.kelvaro.portweaver.controlapp");
        std::ofstream(bundle_ / "libexec/com.kelvaro.portweaver.daemon") << "daemon program v2";
        target_ = paths::system(installed::kDaemonProgram);
        std::filesystem::remove(target_);
    }
    void writeInfo(const std::string& identifier) {
        std::filesystem::remove(bundle_ / "Info.plist");
        std::ofstream(bundle_ / "Info.plist") << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>"
                                              << identifier << "</string></dict></plist>";
    }
    int helper(std::vector<std::string> args) {
        args.insert(args.begin(), KL_ROOT_HELPER_PATH);
        int status = runProgram(args);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::filesystem::path bundle_, target_;
};

TEST_F(RootHelper, InstallsTheProgramAndTheUnits) {
    ASSERT_EQ(helper({"install-daemon", bundle_}), 0);
    EXPECT_EQ(contents(target_), "daemon program v2");
    struct stat status {};
    ASSERT_EQ(::stat(target_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);

    auto units = paths::system(installed::kSystemdUnitDir);
    std::string service = contents(units / installed::kDaemonServiceUnit);
    EXPECT_NE(service.find(std::string("ExecStart=") + installed::kDaemonProgram + "\n"), std::string::npos) << service;
    EXPECT_NE(service.find("Requires=com.kelvaro.portweaver.daemon.socket"), std::string::npos) << service;
    EXPECT_NE(contents(units / installed::kDaemonSocketUnit).find("ListenStream=/var/run/com.kelvaro.portweaver.controlapp"),
              std::string::npos);

    // An upgrade replaces the program in place.
    std::ofstream(bundle_ / "libexec/com.kelvaro.portweaver.daemon", std::ios::trunc) << "daemon program v3";
    ASSERT_EQ(helper({"install-daemon", bundle_}), 0);
    EXPECT_EQ(contents(target_), "daemon program v3");
}

TEST_F(RootHelper, InstalledUnitsPassSystemdsCheck) {
    if (!std::filesystem::exists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "no systemd-analyze";
    ASSERT_EQ(helper({"install-daemon", bundle_}), 0);
    // The check wants the program where the unit says; here it lies under the private root, so a
    // copy of the units points there. Everything else (names, cross references) is checked as is.
    auto units = test::makeTempDir("units");
    const std::string execStart = std::string("ExecStart=") + installed::kDaemonProgram;
    for (const char* name : {installed::kDaemonServiceUnit, installed::kDaemonSocketUnit}) {
        std::string text = contents(paths::system(installed::kSystemdUnitDir) / name);
        if (auto at = text.find(execStart); at != std::string::npos)
            text.replace(at, execStart.size(), "ExecStart=" + target_.string());
        std::ofstream(units / name) << text;
    }
    ::setenv("SYSTEMD_UNIT_PATH", (units.string() + ":").c_str(), 1);
    int status = runProgram({"/usr/bin/systemd-analyze", "verify", "--man=no", (units / installed::kDaemonServiceUnit).string(),
                             (units / installed::kDaemonSocketUnit).string()});
    ::unsetenv("SYSTEMD_UNIT_PATH");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(RootHelper, RefusesWhatIsNotTheAppsBundleOrNotARegularProgram) {
    struct Case {
        const char* what;
        std::function<void()> damage;
    };
    auto daemon = [&] { return bundle_ / "libexec/com.kelvaro.portweaver.daemon"; };
    auto elsewhere = test::makeTempDir("elsewhere");
    std::ofstream(elsewhere / "program") << "someone else's program";
    const Case cases[] = {
        {"no Info.plist", [&] { std::filesystem::remove(bundle_ / "Info.plist"); }},
        {"another identifier", [&] { writeInfo("org.example.other"); }},
        {"Info.plist is a link",
         [&] {
             std::filesystem::rename(bundle_ / "Info.plist", elsewhere / "Info.plist");
             std::filesystem::create_symlink(elsewhere / "Info.plist", bundle_ / "Info.plist");
         }},
        {"daemon is a link",
         [&] {
             std::filesystem::remove(daemon());
             std::filesystem::create_symlink(elsewhere / "program", daemon());
         }},
        {"daemon is a folder",
         [&] {
             std::filesystem::remove(daemon());
             std::filesystem::create_directory(daemon());
         }},
        {"no daemon", [&] { std::filesystem::remove(daemon()); }},
    };
    for (const auto& c : cases) {
        SetUp();
        c.damage();
        EXPECT_EQ(helper({"install-daemon", bundle_}), 4) << c.what;
        EXPECT_FALSE(std::filesystem::exists(target_)) << c.what;
    }
    EXPECT_EQ(helper({"install-daemon", elsewhere / "missing"}), 4);
}

TEST_F(RootHelper, TakesOnlyItsFixedVerbs) {
    EXPECT_EQ(helper({}), 2);
    EXPECT_EQ(helper({"remove-everything"}), 2);
    EXPECT_EQ(helper({"install-daemon"}), 2);
    EXPECT_EQ(helper({"install-daemon", bundle_, "extra"}), 2);
    EXPECT_EQ(helper({"install-daemon", bundle_.string() + "; touch /tmp/x"}), 4) << "argv is never a shell line";
    EXPECT_EQ(helper({"start-daemon"}), 1) << "nothing installed yet";
    EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(RootHelper, RefusesAnUnprivilegedCaller) {
    EXPECT_EQ(runProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KL_ROOT_HELPER_PATH,
                          "install-daemon", bundle_}) >> 8,
              3);
    EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(RootHelper, GlobalLoginItemsOnlyForTheAppsPrograms) {
    const auto program = bundle_ / "libexec/com.kelvaro.portweaver.daemon";
    const auto folder = paths::system("/etc/xdg/autostart");
    ASSERT_EQ(helper({"add-login-item", program}), 0);
    auto entries = KLTLaunchServices::listEntries(folder);
    ASSERT_TRUE(entries && entries->size() == 1);
    EXPECT_EQ(entries->begin()->second, program.string());

    auto stranger = test::makeTempDir("stranger");
    std::ofstream(stranger / "Info.plist") << "<plist version=\"1.0\"><dict/></plist>";
    std::filesystem::create_directories(stranger / "bin");
    std::ofstream(stranger / "bin/tool") << "x";
    EXPECT_EQ(helper({"add-login-item", stranger / "bin/tool"}), 4);
    EXPECT_EQ(helper({"add-login-item", "relative/bin/tool"}), 4);
    EXPECT_EQ(KLTLaunchServices::listEntries(folder)->size(), 1u);

    ASSERT_EQ(helper({"remove-login-item", program}), 0);
    EXPECT_TRUE(KLTLaunchServices::listEntries(folder)->empty());
}

TEST_F(RootHelper, MovesOnlyMarkedBundlesOverAnOlderCopy) {
    const auto destination = paths::system("/opt/portweaver");
    std::filesystem::remove_all(destination);
    std::filesystem::create_directories(destination);
    std::ofstream(destination / "someone-elses") << "keep";
    EXPECT_EQ(helper({"move-bundle", bundle_}), 4) << "an unmarked folder is in the way";
    EXPECT_TRUE(std::filesystem::exists(destination / "someone-elses"));

    std::filesystem::remove_all(destination);
    ASSERT_EQ(helper({"move-bundle", bundle_}), 0);
    EXPECT_EQ(contents(destination / "libexec/com.kelvaro.portweaver.daemon"), "daemon program v2");
    std::ofstream(bundle_ / "libexec/com.kelvaro.portweaver.daemon", std::ios::trunc) << "daemon program v3";
    ASSERT_EQ(helper({"move-bundle", bundle_}), 0) << "an older copy of the app is replaced";
    EXPECT_EQ(contents(destination / "libexec/com.kelvaro.portweaver.daemon"), "daemon program v3");
    EXPECT_FALSE(std::filesystem::exists(destination / "PortWeaver")) << "replaced, not nested";

    writeInfo("com.example.other");
    EXPECT_EQ(helper({"move-bundle", bundle_}), 4);
    EXPECT_EQ(helper({"install-package", bundle_ / "Info.plist"}), 4) << "not a package";
}

TEST(RootHelperCommand, UsesPkexecUnlessRoot) {
    EXPECT_EQ(rootHelperCommand("/opt/PortWeaver", false),
              (std::vector<std::string>{"pkexec", "/opt/PortWeaver/libexec/portweaver-root-helper", "install-daemon",
                                        "/opt/PortWeaver"}));
    EXPECT_EQ(rootHelperCommand("/opt/PortWeaver", true).front(), "/opt/PortWeaver/libexec/portweaver-root-helper");
}

}  // namespace
}  // namespace kl

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/KLTRevisionCompare.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::RecordingViews;

TEST(RevisionCompare, DigitRunsCompareByValue) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    for (auto c : {Case{"99", "100", -1}, Case{"100", "99", 1}, Case{"100", "100", 0}, Case{"007", "7", 0},
                   Case{"1.10", "1.9", 1}, Case{"1.2a", "1.2b", -1}, Case{"", "1", -1}, Case{"12345678901234567890", "9", 1}}) {
        int got = compareRevisions(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.order) << c.a << " vs " << c.b;
    }
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing listens here: every check-in finds no daemon.
        ::setenv(ipc::kSocketDirEnvironment, test::makeTempDir("no-daemon").c_str(), 1);
        installed_ = paths::system(installed::kDaemonProgram);
        std::filesystem::remove(installed_);
        KLTAppDelegate::Options options;
        options.bundlePath = test::makeTempDir("bundle");
        options.views = views_;
        options.bless = [this](const std::string& bundle) {
            blessedBundles_.push_back(bundle);
            return blessResult_;
        };
        app_ = KLTAppDelegate::create(options);
    }
    void TearDown() override {
        app_->cancelDaemonConnection();
        ::unsetenv(ipc::kSocketDirEnvironment);
    }
    void installDaemonFile() {
        std::filesystem::create_directories(installed_.parent_path());
        std::ofstream(installed_) << "daemon";
    }

    std::filesystem::path installed_;
    std::shared_ptr<RecordingViews> views_ = std::make_shared<RecordingViews>();
    std::shared_ptr<KLTAppDelegate> app_;
    std::vector<std::string> blessedBundles_;
    KLTBlessResult blessResult_ = KLTBlessResult::Installed;
};

TEST_F(Install, NeedDependsOnTheLinkTheRevisionsAndTheInstalledFile) {
    struct Case {
        PWDaemonState state;
        std::optional<std::string> running, ours;
        bool fileInstalled, need;
    };
    const Case cases[] = {
        {ePWDaemonStateNotCheckedIn, "100", "100", true, true},
        {ePWDaemonStateCheckedIn, "99", "100", true, true},   // older by number, not by text
        {ePWDaemonStateCheckedIn, "100", "100", true, false},
        {ePWDaemonStateCheckedIn, "101", "100", true, false},
        {ePWDaemonStateCheckedIn, "100", "100", false, true},  // the installed file went missing
        {ePWDaemonStateCheckedIn, "99", std::nullopt, true, false},  // our version unknown: keep it
        {ePWDaemonStateTryingCheckin, "99", "100", true, false},
        {ePWDaemonStateInterrupted, "99", "100", false, true},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(installed_);
        if (c.fileInstalled) installDaemonFile();
        app_->setDaemonState(c.state);
        app_->daemonVersion = c.running ? std::optional<std::string>("1.0.0") : std::nullopt;
        app_->daemonRevision = c.running;
        app_->ourDaemonVersion = c.ours ? std::optional<std::string>("1.0.0") : std::nullopt;
        app_->ourDaemonRevision = c.ours;
        app_->ourDaemonBuildDate = c.ours ? std::optional<Date>(Date{1.7e9}) : std::nullopt;
        EXPECT_EQ(app_->daemonInstallNeed(), c.need)
            << "state " << c.state << " running " << c.running.value_or("-") << " ours " << c.ours.value_or("-")
            << " file " << c.fileInstalled;
    }
}

TEST_F(Install, AFreshMachineGetsTheDaemonAndChecksInAgain) {
    app_->checkInWithDaemon();
    app_->install();
    ASSERT_EQ(blessedBundles_.size(), 1u);
    // After the blessing the app checks in again; nothing answers here, so that check-in fails.
    EXPECT_TRUE(mainLoop().runUntil([&] { return app_->daemonState() == ePWDaemonStateNotCheckedIn; },
                                    std::chrono::seconds(5)));
    EXPECT_EQ(views_->refusals, 0);
}

TEST_F(Install, RefusedCredentialsGoToTheUserAndNothingElseHappens) {
    blessResult_ = KLTBlessResult::Refused;
    app_->install();
    EXPECT_EQ(blessedBundles_.size(), 1u);
    EXPECT_EQ(views_->refusals, 1);
    EXPECT_FALSE(app_->hasDaemonConnection());
}

TEST_F(Install, VersionsComeFromTheBundle) {
    const std::filesystem::path bundle = test::makeTempDir("bundle");
    std::ofstream(bundle / "Info.plist") << R"(<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.kelvaro.portweaver.controlapp</string>
<key>CFBundleShortVersionString</key><string>1.2.3</string></dict></plist>)";
    KLTAppDelegate::Options options;
    options.bundlePath = bundle;
    auto app = KLTAppDelegate::create(options);
    app->updateVersionsNumbers();
    EXPECT_EQ(app->fullVersionString, "1.2.3 (Daemon:)") << "no daemon in the bundle";

    std::filesystem::create_directories(bundle / "libexec");
    std::filesystem::create_symlink(KL_DAEMON_PATH, bundle / "libexec/com.kelvaro.portweaver.daemon");
    app->updateVersionsNumbers();
    EXPECT_EQ(app->ourDaemonVersion.value_or(""), KL_DAEMON_VERSION);
    EXPECT_EQ(app->ourDaemonRevision.value_or(""), KL_DAEMON_REVISION);
    EXPECT_EQ(app->fullVersionString.rfind("1.2.3 (Daemon:" KL_DAEMON_VERSION " ", 0), 0u) << app->fullVersionString;
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

// The processes that run program (started detached by the helper, so not our children).
std::vector<pid_t> daemonsRunning(const std::filesystem::path& program) {
    std::vector<pid_t> found;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(it->path() / "exe", linkError) == program && !linkError)
            found.push_back(pid_t(std::stol(it->path().filename())));
    }
    return found;
}

TEST(InstallFromTheBundle, FreshMachineSameRevisionAndUpgrade) {
    if (::geteuid() != 0) GTEST_SKIP() << "installing runs the root helper as root";
    ::setenv(ipc::kSocketDirEnvironment, test::makeTempDir("sockets").c_str(), 1);
    const auto installed = paths::system(installed::kDaemonProgram);
    std::filesystem::remove(installed);
    auto views = std::make_shared<RecordingViews>();
    int blessings = 0;
    KLTAppDelegate::Options options;
    options.bundlePath = KL_BUNDLE_DIR;
    options.views = views;
    options.bless = [&](const std::string& bundle) {
        ++blessings;
        return blessDaemonWithRootHelper(bundle);
    };
    auto app = KLTAppDelegate::create(options);
    app->setupDaemon();
    EXPECT_EQ(blessings, 1);
    EXPECT_TRUE(std::filesystem::exists(installed));
    EXPECT_TRUE(mainLoop().runUntil([&] { return app->daemonState() == ePWDaemonStateCheckedIn; }, std::chrono::seconds(20)));
    EXPECT_EQ(app->fullVersionString.rfind("(Daemon:" KL_DAEMON_VERSION " "), app->fullVersionString.find("(Daemon:"));
    EXPECT_EQ(app->daemonRevision, app->ourDaemonRevision);

    // The next launch finds the same revision running: nothing to install.
    auto again = KLTAppDelegate::create(options);
    again->setupDaemon();
    EXPECT_EQ(blessings, 1);
    EXPECT_EQ(again->daemonState(), ePWDaemonStateCheckedIn);

    // A newer bundle finds an older daemon: it is prepared for the upgrade, replaced and checked in.
    auto older = daemonsRunning(installed);
    ASSERT_EQ(older.size(), 1u);
    auto newer = KLTAppDelegate::create(options);
    newer->checkInWithDaemon();
    ASSERT_TRUE(mainLoop().runUntil([&] { return newer->daemonState() == ePWDaemonStateCheckedIn; }, std::chrono::seconds(10)));
    newer->updateVersionsNumbers();
    newer->ourDaemonRevision = "99999999";
    newer->install();
    EXPECT_EQ(blessings, 2);
    EXPECT_TRUE(mainLoop().runUntil([&] { return newer->daemonState() == ePWDaemonStateCheckedIn; }, std::chrono::seconds(20)));
    auto replaced = daemonsRunning(installed);
    EXPECT_EQ(replaced.size(), 1u);
    EXPECT_NE(replaced, older);

    for (auto* a : {&app, &again, &newer}) (*a)->cancelDaemonConnection();
    for (pid_t pid : daemonsRunning(installed)) ::kill(pid, SIGKILL);
    ::unsetenv(ipc::kSocketDirEnvironment);
}

}  // namespace
}  // namespace kl

// Uninstalling from the control app: a stand-in daemon on a private control socket answers (or
// drops) the request; the user's files, login items, service processes and the bundle are real.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTButler.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/klipc.h"
#include "platform/Preferences.h"
#include "platform/Process.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAppDomain = "com.kelvaro.portweaver.controlapp";
constexpr const char* kService = "com.kelvaro.portweaver.service.deskgate";

// The daemon's end of the control socket: answers the uninstall request with "succeeded", or
// drops the connection without a reply. Records what it was asked.
class StandInDaemon {
public:
    enum class Answer { Succeeded, Refused, Drop };
    explicit StandInDaemon(Answer answer) : shared_(std::make_shared<Shared>()) {
        listener_ = klipc_connection_create_listener(kPWControlServiceName, nullptr);
        klipc_connection_set_event_handler(listener_, [shared = shared_, answer](KLIPCMessageType kind, klipc_object_t peer) {
            if (kind != KLIPC_LISTENER_NEW_CONNECTION) return;
            klipc_connection_set_event_handler(peer, [shared, answer, peer](KLIPCMessageType kind, klipc_object_t m) {
                if (kind != KLIPC_OK) return;
                size_t length = 0;
                {
                    std::lock_guard lock(shared->mutex);
                    shared->commands.push_back(klipc_dictionary_get_uint64(m, kPWKeyCommand));
                    shared->authorizationLengths.push_back(klipc_dictionary_get_data(m, "authorization", &length) ? length : 0);
                }
                if (answer == Answer::Drop) {
                    klipc_connection_cancel(peer);
                    return;
                }
                klipc_send_reply(m, [answer](klipc_object_t reply) {
                    klipc_dictionary_set_bool(reply, "succeeded", answer == Answer::Succeeded);
                });
            });
            klipc_connection_resume(peer);
        });
        klipc_connection_resume(listener_);
    }
    ~StandInDaemon() {
        klipc_connection_cancel(listener_);
        klipc_release(listener_);
    }
    std::vector<uint64_t> commands() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->commands;
    }
    std::vector<size_t> authorizationLengths() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->authorizationLengths;
    }

private:
    struct Shared {
        mutable std::mutex mutex;
        std::vector<uint64_t> commands;
        std::vector<size_t> authorizationLengths;
    };
    std::shared_ptr<Shared> shared_;
    klipc_connection_t listener_ = nullptr;
};

// A sleeping process, as this user or (as root) as nobody; ended and reaped at the end.
class Sleeper {
public:
    explicit Sleeper(bool asNobody) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (asNobody)
                ::execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep",
                        "60", nullptr);
            else
                ::execl("/bin/sleep", "sleep", "60", nullptr);
            ::_exit(127);
        }
        // setpriv has changed users once the process runs sleep.
        test::waitFor([&] {
            std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
            std::string name;
            return std::getline(comm, name) && name == "sleep";
        });
    }
    ~Sleeper() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    bool alive() const { return !reaped_ && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Whether it ended by signal; reaps it.
    bool endedWith(int* signal) const {
        if (reaped_) return false;
        int status = 0;
        if (!test::waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) return false;
        reaped_ = true;
        if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return true;
    }

private:
    pid_t pid_ = -1;
    mutable bool reaped_ = false;
};

class Uninstall : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv(ipc::kSocketDirEnvironment, test::makeTempDir("sockets").c_str(), 1);
        KLTButler::setMainBundleIdentifier(kAppDomain);
        std::error_code error;
        fs::remove_all(KLTLaunchServices::sessionListFolder(), error);
        fs::remove_all(KLTLaunchServices::globalListFolder(), error);

        bundle_ = test::makeTempDir("bundle") / "PortWeaver";
        fs::create_directories(bundle_ / "bin");
        fs::create_directories(bundle_ / "libexec");
        std::ofstream(bundle_ / "Info.plist")
            << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" << kAppDomain
            << "</string><key>CFBundleVersion</key><string>1000</string></dict></plist>";
        std::ofstream(bundle_ / "bin/portweaver") << "app";
        std::ofstream(bundle_ / "libexec" / kService) << "service";

        Preferences preferences(kAppDomain);
        preferences.setValue("startAtLogin", Value(true));
        ASSERT_TRUE(preferences.synchronize());
        archive_ = *PWServicesManager::hostItemArchivePath();
        fs::create_directories(archive_.parent_path());

        for (bool global : {false, true}) {
            if (global && ::geteuid() != 0) continue;  // the global list is written directly only by root
            KLTLaunchServices::addAppAsLoginItem(program(), global, kAppDomain);
            KLTLaunchServices::addAppAsLoginItem(service(), global, kService);
        }

        // The services scan sees what this folder says runs: the test's own processes only.
        procRoot_ = test::makeTempDir("proc");
        ownService_ = std::make_unique<Sleeper>(false);
        listAsService(ownService_->pid());
        if (::geteuid() == 0) {
            othersService_ = std::make_unique<Sleeper>(true);
            listAsService(othersService_->pid());
        }
        services_ = PWServicesManager::create({procRoot_, std::nullopt, "this-machine"});
        ASSERT_TRUE(KLTButler::archiveObject(Value(Array{}), archive_));
        views_ = std::make_shared<test::RecordingViews>();
        app_ = KLTAppDelegate::create({bundle_.string(), services_, views_});
        app_->uninstallHooks.packageOwnsBundle = [](const std::string&) { return false; };
        app_->uninstallHooks.runRootHelper = [this](const std::vector<std::string>& args) {
            helperCalls_.push_back(args);
            return true;
        };
        refusals_ = 0;
        app_->uninstallRefused.connect([this] { ++refusals_; });
    }
    void TearDown() override {
        if (app_) app_->cancelDaemonConnection();
        app_.reset();
    }
    void listAsService(pid_t pid) {
        fs::create_directories(procRoot_ / std::to_string(pid));
        fs::create_symlink(bundle_ / "libexec" / kService, procRoot_ / std::to_string(pid) / "exe");
    }
    std::string program() const { return (bundle_ / "bin/portweaver").string(); }
    std::string service() const { return (bundle_ / "libexec" / kService).string(); }
    bool anyLoginItem() const {
        for (bool global : {false, true})
            if (KLTLaunchServices::appExistsInLoginItems(program(), global) ||
                KLTLaunchServices::appExistsInLoginItems(service(), global))
                return true;
        return false;
    }
    void uninstallAndWait() {
        app_->uninstall();
        mainLoop().runUntil([&] { return views_->terminations > 0 || refusals_ > 0; }, 10s);
    }
    void expectAllRemoved() {
        EXPECT_EQ(views_->terminations, 1);
        EXPECT_EQ(refusals_, 0);
        EXPECT_FALSE(fs::exists(*Preferences::fileForDomain(kAppDomain)));
        EXPECT_FALSE(fs::exists(archive_));
        EXPECT_FALSE(anyLoginItem());
        EXPECT_FALSE(fs::exists(bundle_));
        int signal = 0;
        ASSERT_TRUE(ownService_->endedWith(&signal)) << "the user's screen service is left running";
        EXPECT_EQ(signal, SIGTERM);
        if (othersService_) {
            EXPECT_TRUE(othersService_->alive()) << "another user's process was signalled";
        }
        EXPECT_FALSE(services_->isReporting()) << "a later scan would start the screen service again";
    }

    fs::path bundle_, archive_, procRoot_;
    std::unique_ptr<Sleeper> ownService_, othersService_;
    std::shared_ptr<PWServicesManager> services_;
    std::shared_ptr<test::RecordingViews> views_;
    std::shared_ptr<KLTAppDelegate> app_;
    std::vector<std::vector<std::string>> helperCalls_;
    int refusals_ = 0;
};

TEST_F(Uninstall, WithoutADaemonTheUsersSideAndTheBundleStillGo) {
    // Nothing listens: the connection turns invalid and the reply handler still runs.
    uninstallAndWait();
    expectAllRemoved();
    EXPECT_EQ(app_->registrarState(), 0u);
    EXPECT_TRUE(helperCalls_.empty()) << "a bundle that no package owns needs no root";
}

TEST_F(Uninstall, AConsentingOrVanishingDaemonLetsTheRemovalGoOn) {
    for (auto answer : {StandInDaemon::Answer::Succeeded, StandInDaemon::Answer::Drop}) {
        if (answer == StandInDaemon::Answer::Drop) {
            TearDown();
            SetUp();
        }
        StandInDaemon daemon(answer);
        uninstallAndWait();
        EXPECT_EQ(daemon.commands(), std::vector<uint64_t>{ePWControlAppToDaemonCommandUninstall});
        EXPECT_EQ(daemon.authorizationLengths(), std::vector<size_t>{kPWAuthorizationSize});
        expectAllRemoved();
        EXPECT_FALSE(app_->hasDaemonConnection());
    }
}

TEST_F(Uninstall, ADaemonThatRefusesLeavesEverythingInPlaceAndTellsTheUser) {
    StandInDaemon daemon(StandInDaemon::Answer::Refused);
    uninstallAndWait();
    EXPECT_EQ(refusals_, 1);
    EXPECT_EQ(views_->terminations, 0);
    EXPECT_TRUE(fs::exists(*Preferences::fileForDomain(kAppDomain)));
    EXPECT_TRUE(fs::exists(archive_));
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems(program(), false));
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems(service(), false));
    EXPECT_TRUE(fs::exists(bundle_ / "Info.plist"));
    EXPECT_TRUE(ownService_->alive());
}

TEST_F(Uninstall, AMissingArchiveIsLoggedAndTheRestGoesOn) {
    fs::remove(archive_);
    clearMemoryLog();
    app_->removeLocalInstallation();
    EXPECT_TRUE(memoryLogContains("Error removing archive:"));
    EXPECT_FALSE(fs::exists(bundle_));
    EXPECT_FALSE(anyLoginItem());
    EXPECT_EQ(views_->terminations, 1);
}

TEST_F(Uninstall, ThePackageOrOnlyAMarkedBundleFolderIsRemoved) {
    // A package install goes through the helper's package removal; the app deletes nothing itself.
    app_->uninstallHooks.packageOwnsBundle = [this](const std::string& path) { return path == bundle_.string(); };
    app_->removeBundle();
    EXPECT_EQ(helperCalls_, (std::vector<std::vector<std::string>>{{"remove-package"}}));
    EXPECT_TRUE(fs::exists(bundle_ / "Info.plist"));
    app_->uninstallHooks.packageOwnsBundle = [](const std::string&) { return false; };

    // Not marked: another program's folder, or a link to the bundle.
    const fs::path link = bundle_.parent_path() / "link";
    fs::create_directory_symlink(bundle_, link);
    auto linked = KLTAppDelegate::create({link.string(), nullptr, {}});
    linked->uninstallHooks.packageOwnsBundle = [](const std::string&) { return false; };
    linked->removeBundle();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(bundle_ / "Info.plist"));

    std::ofstream(bundle_ / "Info.plist", std::ios::trunc)
        << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.other</string>"
           "<key>CFBundleVersion</key><string>1</string></dict></plist>";
    app_->removeBundle();
    EXPECT_TRUE(fs::exists(bundle_ / "bin/portweaver"));
}

TEST(RootHelperPackageRemoval, TakesNoPackageName) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper only runs as root";
    for (const char* name : {"portweaver", "other-package"}) {
        int status = runProgram({KL_ROOT_HELPER_PATH, "remove-package", name});
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << name;
    }
}

}  // namespace
}  // namespace kl

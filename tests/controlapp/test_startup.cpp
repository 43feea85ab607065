// The app delegate's start-up, its supervision of the screen service and its shut-down, in this
// process with recorded surroundings; the already-running window and the services view offscreen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/desktop/KLTOpenApplication.h"
#include "controlapp/desktop/KLTProcess.h"
#include "controlapp/ui/KLTAlreadyRunningWarningController.h"
#include "controlapp/ui/KLTServicesViewController.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "platform/Files.h"
#include "platform/NotifyBus.h"
#include "platform/Paths.h"
#include "platform/Preferences.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAppDomain = "com.kelvaro.portweaver.controlapp";
constexpr const char* kDeskgate = "com.kelvaro.portweaver.service.deskgate";

class RecordingLaunchViews final : public KLTLaunchViews {
public:
    void startCrashReporting() override { calls.push_back("crash reporting"); }
    void showAlreadyRunningWarning(std::function<void()> quit) override {
        calls.push_back("already running");
        this->quit = std::move(quit);
    }
    void initializeUserInterface() override { calls.push_back("user interface"); }
    void startUpdateCheck(std::weak_ptr<KLTAppDelegate>) override { calls.push_back("update check"); }
    void moveToApplicationsFolderIfNecessary(std::weak_ptr<PFMoveApplicationDelegate>) override {
        calls.push_back("mover");
    }
    void changeStatusItemImage(const std::string& name) override { calls.push_back("image " + name); }
    void showUI(bool accountDetails) override { calls.push_back(accountDetails ? "show account" : "show sign-in"); }

    std::vector<std::string> calls;
    std::function<void()> quit;
};

std::vector<std::string> sessionPrograms() {
    std::vector<std::string> programs;
    if (auto entries = KLTLaunchServices::listEntries(KLTLaunchServices::sessionListFolder()))
        for (const auto& [file, program] : *entries) programs.push_back(program);
    std::sort(programs.begin(), programs.end());
    return programs;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

PWRunningService runningService(const std::string& name, uint64_t pid) {
    PWRunningService service;
    service.serviceName = name;
    service.servicePath = "/opt/x/" + name;
    service.pid = pid;
    return service;
}

// A services manager whose scan reads procRoot, with an archive of its own.
std::shared_ptr<PWServicesManager> servicesManagerOver(const fs::path& procRoot) {
    PWServicesManager::Options options;
    options.procRoot = procRoot;
    options.archivePath = test::makeTempDir("archive") / "archive";
    return PWServicesManager::create(options);
}

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing answers here: the daemon link fails at once and the stand-in installer is asked.
        ::setenv(ipc::kSocketDirEnvironment, test::makeTempDir("no-daemon").c_str(), 1);
        bundle_ = test::makeTempDir("bundle");
        for (const char* program : {"bin/portweaver", kDeskgateInBundle}) {
            fs::create_directories((bundle_ / program).parent_path());
            std::ofstream(bundle_ / program) << "program";
        }
        std::error_code error;
        fs::remove_all(KLTLaunchServices::sessionListFolder(), error);
        fs::remove_all(KLTLaunchServices::globalListFolder(), error);
        fs::remove(*Preferences::fileForDomain(kAppDomain), error);
        {
            // Read at launch: the level-2 lines below show only with it.
            Preferences defaults(kAppDomain);
            defaults.setValue("loggingLevel", Value(std::string("2")));
            ASSERT_TRUE(defaults.synchronize());
        }
        KLTLaunchServices::setGlobalChanger([this](const std::vector<std::string>& args) {
            globalChanges_.push_back(args);
            return true;
        });
        clearMemoryLog();
    }
    void TearDown() override {
        for (auto& app : apps_) app->applicationWillTerminate();
        apps_.clear();
        KLTLaunchServices::setGlobalChanger(nullptr);
        ::unsetenv(ipc::kSocketDirEnvironment);
        setLoggingLevel(kKLTLoggingLevelInfo);
    }

    std::shared_ptr<KLTAppDelegate> makeApp() {
        KLTAppDelegate::Options options;
        options.bundlePath = bundle_.string();
        options.servicesManager = services_;
        options.views = views_;
        options.launchViews = launch_;
        options.bless = [](const std::string&) { return KLTBlessResult::Failed; };
        options.openApplication = [this](const std::string& program) {
            opened_.push_back(program);
            return 0;
        };
        apps_.push_back(KLTAppDelegate::create(std::move(options)));
        return apps_.back();
    }
    // Ends a delegate as the program does, letting its lock go.
    void quit(std::shared_ptr<KLTAppDelegate>& app) {
        app->applicationWillTerminate();
        std::erase(apps_, app);
        app.reset();
    }
    std::string deskgate() const { return (bundle_ / kDeskgateInBundle).string(); }
    std::string appProgram() const { return (bundle_ / "bin/portweaver").string(); }

    static constexpr const char* kDeskgateInBundle = "libexec/com.kelvaro.portweaver.service.deskgate";
    fs::path bundle_;
    std::shared_ptr<PWServicesManager> services_ =
        servicesManagerOver(test::makeTempDir("proc"));
    std::shared_ptr<test::RecordingViews> views_ = std::make_shared<test::RecordingViews>();
    std::shared_ptr<RecordingLaunchViews> launch_ = std::make_shared<RecordingLaunchViews>();
    std::vector<std::shared_ptr<KLTAppDelegate>> apps_;
    std::vector<std::string> opened_;
    std::vector<std::vector<std::string>> globalChanges_;
};

TEST_F(StartUp, FirstLaunchRunsTheStepsInOrderStartsTheScreenServiceAndShowsSignIn) {
    // A screen service of another bundle was kept at login; it must give way to this bundle's.
    const std::string otherCopy = "/opt/old/libexec/com.kelvaro.portweaver.service.deskgate";
    KLTLaunchServices::addAppAsLoginItem(otherCopy, false, kDeskgate);

    auto app = makeApp();
    app->applicationDidFinishLaunching();

    EXPECT_EQ(launch_->calls, (std::vector<std::string>{"crash reporting", "user interface", "update check",
                                                        "image statusmenu-icon", "mover", "show sign-in"}));
    EXPECT_FALSE(app->alreadyRunning);
    EXPECT_EQ(KLTAppDelegate::appDelegate(), app);
    EXPECT_EQ(opened_, std::vector<std::string>{deskgate()});
    EXPECT_EQ(app->deskgateServiceURL, deskgate());
    EXPECT_EQ(sessionPrograms(), (std::vector<std::string>{appProgram(), deskgate()}));
    EXPECT_TRUE(services_->isReporting());
    EXPECT_TRUE(memoryLogContains("Launch Deskgate status:0"));

    Preferences defaults(kAppDomain);
    EXPECT_EQ(defaults.boolean("firstRun"), false);
    EXPECT_EQ(defaults.boolean("startAtLogin"), true);
    EXPECT_FALSE(app->firstRun);

    quit(app);
    EXPECT_FALSE(services_->isReporting());
    launch_->calls.clear();
    auto later = makeApp();
    later->applicationDidFinishLaunching();
    EXPECT_FALSE(later->alreadyRunning);
    EXPECT_EQ(std::count(launch_->calls.begin(), launch_->calls.end(), "show sign-in"), 0);
    EXPECT_EQ(std::count(launch_->calls.begin(), launch_->calls.end(), "user interface"), 1);
}

TEST_F(StartUp, ASecondCopyOnlyWarnsAndTouchesNothing) {
    auto first = makeApp();
    first->applicationDidFinishLaunching();
    const std::string defaultsBefore = fileText(*Preferences::fileForDomain(kAppDomain));
    const auto entriesBefore = sessionPrograms();
    launch_->calls.clear();
    opened_.clear();
    services_->endReportingServicesAvailability();

    auto second = makeApp();
    second->applicationDidFinishLaunching();
    EXPECT_TRUE(second->alreadyRunning);
    EXPECT_EQ(launch_->calls, (std::vector<std::string>{"crash reporting", "already running"}));
    ASSERT_TRUE(launch_->quit);
    // Quit ends the main loop, so the program returns 0 from main; the guard only ends a hang.
    auto guard = mainLoop().after(std::chrono::seconds(20), [] { mainLoop().stop(); });
    const auto start = std::chrono::steady_clock::now();
    launch_->quit();
    mainLoop().run();
    guard.cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(opened_.empty());
    EXPECT_FALSE(second->hasDaemonConnection());
    EXPECT_FALSE(services_->isReporting());
    EXPECT_EQ(fileText(*Preferences::fileForDomain(kAppDomain)), defaultsBefore);
    EXPECT_EQ(sessionPrograms(), entriesBefore);
    EXPECT_FALSE(first->alreadyRunning);
}

TEST_F(StartUp, ALockThatCannotBeMadeIsNoReasonToQuit) {
    // A session folder that is not there: the lock goes to the user's own folder, never to /tmp.
    const std::string session = std::getenv("XDG_RUNTIME_DIR");
    ::setenv("XDG_RUNTIME_DIR", (test::tempRoot() / "no-such-session").c_str(), 1);
    const fs::path fallback = KLTAppDelegate::instanceLockPath();
    ::setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
    EXPECT_EQ(fallback.parent_path(), ::geteuid() == 0 ? paths::runtimeDir() : paths::configHome() / "Kelvaro");
    EXPECT_EQ(KLTAppDelegate::instanceLockPath().parent_path(), fs::path(session));

    // Something that is not a file where the lock belongs: this copy runs, without the check.
    const fs::path lock = KLTAppDelegate::instanceLockPath();
    fs::remove(lock);
    fs::create_directories(lock);
    auto app = makeApp();
    app->applicationDidFinishLaunching();
    fs::remove(lock);
    EXPECT_FALSE(app->alreadyRunning);
    EXPECT_EQ(std::count(launch_->calls.begin(), launch_->calls.end(), "user interface"), 1);
    EXPECT_TRUE(memoryLogContains("running without the one-copy check"));
}

TEST_F(StartUp, StartAtLoginNoRemovesTheAppsLoginItemsAndDoesNotAddThemBack) {
    {
        Preferences defaults(kAppDomain);
        defaults.setValue("startAtLogin", Value(false));
        ASSERT_TRUE(defaults.synchronize());
    }
    KLTLaunchServices::addAppAsLoginItem(appProgram(), false, kAppDomain);
    ASSERT_TRUE(KLTLaunchServices::writeEntry(KLTLaunchServices::globalListFolder(), appProgram(), kAppDomain));

    auto app = makeApp();
    app->applicationDidFinishLaunching();
    EXPECT_FALSE(app->startAtLogin);
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems(appProgram(), false));
    if (::geteuid() == 0) {
        EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems(appProgram(), true));
    } else {
        ASSERT_EQ(globalChanges_.size(), 1u);
        EXPECT_EQ(globalChanges_[0], (std::vector<std::string>{"remove-login-item", appProgram()}));
    }
    // The screen service stays a login item: only the app's own entry follows the default.
    EXPECT_EQ(sessionPrograms(), std::vector<std::string>{deskgate()});
    EXPECT_EQ(Preferences(kAppDomain).boolean("startAtLogin"), false);
}

TEST_F(StartUp, TheScreenServiceIsStartedAgainWheneverTheScanLosesItWhileItsProgramExists) {
    auto app = makeApp();
    app->applicationDidFinishLaunching();
    ASSERT_EQ(opened_.size(), 1u);

    services_->updateReportingServices({runningService(kDeskgate, 4242)});
    EXPECT_TRUE(app->deskgateAvailable);
    EXPECT_EQ(opened_.size(), 1u);

    launch_->calls.clear();
    services_->updateReportingServices({});
    EXPECT_FALSE(app->deskgateAvailable);
    EXPECT_EQ(opened_, (std::vector<std::string>{deskgate(), deskgate()}));
    EXPECT_EQ(launch_->calls, std::vector<std::string>{"image statusmenu-icon"});
    EXPECT_TRUE(memoryLogContains("Relaunching Deskgate Service. 0"));

    // Gone from the bundle: nothing to start.
    services_->updateReportingServices({runningService(kDeskgate, 4243)});
    fs::remove(deskgate());
    services_->updateReportingServices({});
    EXPECT_EQ(opened_.size(), 2u);

    // After shut-down the delegate no longer reacts.
    quit(app);
    services_->updateReportingServices({runningService(kDeskgate, 4244)});
    services_->updateReportingServices({});
    EXPECT_EQ(opened_.size(), 2u);
}

TEST_F(StartUp, TheScreenServicesConnectionNoticesChangeTheStatusIcon) {
    auto app = makeApp();
    app->applicationDidFinishLaunching();
    launch_->calls.clear();
    ASSERT_TRUE(NotifyBus::post("com.kelvaro.Deskgate.ServerConnectedToDevice", NotifyBus::Scope::Session));
    ASSERT_TRUE(mainLoop().runUntil([&] { return !launch_->calls.empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(launch_->calls, std::vector<std::string>{"image statusmenu-icon-connected"});
    ASSERT_TRUE(NotifyBus::post("com.kelvaro.Deskgate.ServerDisconnectedFromDevice", NotifyBus::Scope::Session));
    ASSERT_TRUE(mainLoop().runUntil([&] { return launch_->calls.size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(launch_->calls.back(), "image statusmenu-icon");
}

TEST_F(StartUp, WithoutAScreenServiceInTheBundleTheAppRunsWithoutOne) {
    fs::remove(deskgate());
    auto app = makeApp();
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(opened_.empty());
    EXPECT_FALSE(app->deskgateServiceURL);
    EXPECT_TRUE(memoryLogContains("DeskgateService not in app bundle.  Must run it manually"));
    EXPECT_EQ(sessionPrograms(), std::vector<std::string>{appProgram()});
}

// A process that sleeps until signalled, as the given user (nothing: this one).
pid_t startSleeper(std::optional<uid_t> user = std::nullopt) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (user && (::setgid(*user) != 0 || ::setuid(*user) != 0)) ::_exit(10);
        ::execl("/bin/sleep", "sleep", "60", nullptr);
        ::_exit(127);
    }
    return pid;
}

bool endsBy(pid_t pid, int signal) {
    int status = 0;
    bool ended = test::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10));
    return ended && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

TEST_F(StartUp, KillOurServicesStopsOnlyThisUsersServiceProcesses) {
    // The scan reads this /proc stand-in: each entry's exe names a service program, whatever the
    // process really runs.
    const fs::path proc = test::makeTempDir("proc-services");
    const fs::path program = test::makeTempDir("programs") / "com.kelvaro.portweaver.service.sleeper";
    std::ofstream(program) << "program";
    auto addService = [&](uint64_t pid) {
        fs::create_directories(proc / std::to_string(pid));
        fs::create_directory_symlink(program, proc / std::to_string(pid) / "exe");
    };
    pid_t own = startSleeper();
    std::optional<pid_t> other;
    if (::geteuid() == 0) other = startSleeper(65534);
    addService(uint64_t(own));
    addService(uint64_t(::getpid()));     // the app itself
    addService(4294967295u);              // would be -1 as a pid_t: every process
    if (other) addService(uint64_t(*other));
    // The built-in services come with pid 0, which names the caller's process group.
    services_ = servicesManagerOver(proc);
    if (other) {
        ASSERT_TRUE(test::waitFor([&] {
            auto table = KLTProcess::getCurrentProcesses();
            return table && table->count(*other) && table->at(*other).uid == 65534;
        }));
    }

    auto app = makeApp();
    app->deskgateServiceURL = deskgate();
    app->killOurServices();

    EXPECT_TRUE(endsBy(own, SIGTERM));
    EXPECT_EQ(opened_, std::vector<std::string>{deskgate()});
    if (other) {
        EXPECT_EQ(::waitpid(*other, nullptr, WNOHANG), 0) << "another user's process was signalled";
        ::kill(*other, SIGKILL);
        ::waitpid(*other, nullptr, 0);
    }
}

TEST(OpenApplication, TheProgramRunsDetachedAndLeavesNoChildBehind) {
    const fs::path folder = test::makeTempDir("open");
    const fs::path script = folder / "program";
    const fs::path report = folder / "report";
    std::ofstream(script) << "#!/bin/sh\nread nothing; echo \"$PPID $nothing\" > " << report.string() << ".tmp\nmv "
                          << report.string() << ".tmp " << report.string() << "\n";
    fs::permissions(script, fs::perms::owner_all);

    EXPECT_EQ(openApplicationDetached(script), 0);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(report); }));
    pid_t parent = 0;
    std::ifstream(report) >> parent;
    EXPECT_NE(parent, ::getpid());
    // The intermediate child was reaped and the program is not ours: nothing to wait for.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    EXPECT_EQ(openApplicationDetached(folder / "missing"), ENOENT);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(AlreadyRunningWarning, QuitOrClosingCallsTheHandlerOnceWithYes) {
    for (bool byButton : {true, false}) {
        KLTAlreadyRunningWarningController controller;
        std::vector<bool> answers;
        controller.showWindow([&](bool answer) { answers.push_back(answer); });
        QDialog* window = controller.window();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), "Port Weaver Already Running");
        EXPECT_EQ(window->findChild<QLabel*>("warningField")->text(), "Port Weaver is already running");
        EXPECT_EQ(window->findChild<QLabel*>("warningExplanationField")->text(),
                  "If you want to run this copy, Uninstall the currently running one and then run this one.");
        auto* quit = window->findChild<QPushButton*>("quitButton");
        ASSERT_NE(quit, nullptr);
        EXPECT_EQ(quit->text(), "Quit");
        if (byButton) quit->click();
        else window->reject();
        EXPECT_EQ(answers, std::vector<bool>{true}) << (byButton ? "Quit" : "close");
        EXPECT_FALSE(window->isVisible());
        EXPECT_FALSE(controller.presentedAsSheet());
    }
}

TEST_F(StartUp, TheBonjourBrowserIsMadeOnceForPortweaverAndNeverStarted) {
    auto app = makeApp();
    KLTBonjourBrowser& browser = app->bonjourBrowser();
    EXPECT_EQ(&app->bonjourBrowser(), &browser);
    EXPECT_EQ(KLTBonjourBrowser::bonjourServiceName(), "portweaver");
    EXPECT_FALSE(browser.started());

    auto controller = std::make_unique<KLTServicesViewController>("KLTServicesViewController", app);
    controller->view()->show();
    EXPECT_TRUE(controller->services().empty());
    const std::vector<KLTBonjourService> batch{{"host", "_portweaver._tcp", "local.", 1}};
    browser.didAddService.emit(batch);
    EXPECT_TRUE(memoryLogContains("Services Changes: ()"));
    clearMemoryLog();
    browser.didRemoveService.emit({"host"}, batch);
    EXPECT_TRUE(memoryLogContains("Services Changes: ()"));

    controller.reset();
    clearMemoryLog();
    browser.didAddService.emit(batch);
    browser.didRemoveService.emit({"host"}, batch);
    EXPECT_FALSE(memoryLogContains("Services Changes"));
}

}  // namespace
}  // namespace kl

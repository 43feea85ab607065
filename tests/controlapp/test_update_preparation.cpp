#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTProcess.h"
#include "controlapp/ui/KLTAppDelegateLink.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

pid_t startCopyOfSleepNamed(const fs::path& program) {
    fs::create_directories(program.parent_path());
    fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
    pid_t child = ::fork();
    if (child == 0) {
        ::execl(program.c_str(), program.filename().c_str(), "30", nullptr);
        ::_exit(127);
    }
    return child;
}

bool endedBy(pid_t pid, int signal) {
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

}  // namespace

TEST(UpdatePreparation, FoundUpdateIsShown) {
    auto views = std::make_shared<test::RecordingViews>();
    auto app = KLTAppDelegate::create({"/opt/portweaver", nullptr, views});
    KLTAppDelegateLink link(app);  // what the view manager asks before showing the update entry
    EXPECT_FALSE(link.updateIsAvailable());
    app->updaterDidFindValidUpdate("1.3");
    EXPECT_TRUE(app->updateIsAvailable);
    EXPECT_TRUE(link.updateIsAvailable());
    EXPECT_EQ(views->updates, 1);
}

TEST(UpdatePreparation, StopsOnlyTheScreenServiceAndSkipsTheWaitWithoutADaemon) {
    auto dir = test::makeTempDir("bundle");
    pid_t service = startCopyOfSleepNamed(dir / "libexec/com.kelvaro.portweaver.service.deskgate");
    pid_t bystander = startCopyOfSleepNamed(dir / "bin/other-tool");
    ASSERT_TRUE(test::waitFor([&] {
        auto table = KLTProcess::getCurrentProcesses();
        return table && table->count(service) && table->at(service).processName != "sleep" && table->count(bystander) &&
               table->at(bystander).processName == "other-tool";
    }));
    clearMemoryLog();
    auto app = KLTAppDelegate::create({"/opt/portweaver", nullptr, {}});
    ASSERT_FALSE(app->hasDaemonConnection());
    app->updaterWillInstallUpdate("1.3");
    EXPECT_TRUE(memoryLogContains("Just about to update your application."));
    EXPECT_TRUE(memoryLogContains("No daemon connection"));
    EXPECT_FALSE(memoryLogContains("Timed out waiting for daemon to prepareForUpgrade"));
    EXPECT_TRUE(endedBy(service, SIGTERM));
    EXPECT_EQ(::kill(bystander, 0), 0) << "other programs keep running";
    ::kill(bystander, SIGKILL);
    EXPECT_TRUE(endedBy(bystander, SIGKILL));
}

// The root observer feeding the monitor on a real X server: a launched client appears with its
// window, a killed one's state and windows go, and the active application follows the switch.
#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>
#include <thread>

#include "AppWindowProcess.h"
#include "X11TestActions.h"
#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/X11ApplicationWatcher.h"
#include "screen/x11/XvfbTestSupport.h"

namespace kl {
namespace {

using test::startAppWindow;

template <class Predicate>
bool eventually(Predicate done) {
    for (int i = 0; i < 100; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

TEST(X11ApplicationWatcher, LaunchesEndsAndSwitchesReachTheMonitor) {
    KL_START_XVFB(xvfb, 1024, 768);
    auto first = startAppWindow({"--class", "First"});
    ASSERT_TRUE(first.window);
    auto platform = X11ApplicationPlatform::open();
    ASSERT_TRUE(platform);
    auto monitor = std::make_shared<KLTApplicationMonitor>(platform, nullptr);
    monitor->setThumbnailPause(std::chrono::milliseconds(0));
    monitor->poll();
    ASSERT_TRUE(monitor->applicationStateForPID(first.pid));
    ASSERT_TRUE(monitor->hasApplicationInfoToSend());
    monitor->ackPoll();

    std::mutex m;
    std::vector<uint64_t> activations;
    auto watcher = X11ApplicationWatcher::start(
        platform, {[&](const RunningApplication& a) { monitor->notifiedOfNewApplication(a); },
                   [&](uint64_t pid) { monitor->notifiedOfTerminatedApplication(pid); },
                   [&](uint64_t pid) {
                       monitor->setActivePID(pid);
                       std::lock_guard g(m);
                       activations.push_back(pid);
                   }});
    ASSERT_TRUE(watcher);

    auto second = startAppWindow({"--class", "Second", "--geometry", "120x80+300+300"});
    ASSERT_TRUE(second.window);
    ASSERT_TRUE(eventually([&] { return monitor->copyWindowForWID(second.window).has_value(); }));
    EXPECT_EQ(monitor->applicationStateForPID(second.pid)->name, "Second");
    EXPECT_TRUE(monitor->hasApplicationInfoToSend());
    EXPECT_EQ(monitor->discoveredApplications(), (std::vector<uint64_t>{uint64_t(second.pid)}));

    ASSERT_TRUE(test::setActiveWindowProperty(first.window));
    EXPECT_TRUE(eventually([&] { return monitor->activePID() == uint64_t(first.pid); }));

    second.process->terminate(SIGKILL);
    EXPECT_TRUE(eventually([&] { return !monitor->applicationStateForPID(second.pid); }));
    EXPECT_FALSE(monitor->applicationHasWindows(second.pid));
    EXPECT_TRUE(monitor->applicationStateForPID(first.pid));
    watcher.reset();
    std::lock_guard g(m);
    EXPECT_EQ(activations, (std::vector<uint64_t>{uint64_t(first.pid)}));
}

}  // namespace
}  // namespace kl

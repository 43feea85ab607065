// The service program's launch on Xvfb: one instance per session, the information list the daemon's
// scan reads, the daemon's connection request, and the screen saver's reports.
#include <gtest/gtest.h>

#include <fstream>

#include "ServiceProcess.h"
#include "XvfbTestSupport.h"
#include "daemon/model/PWServicesScan.h"
#include "platform/Executors.h"
#include "platform/NotifyBus.h"
#include "platform/Paths.h"
#include "platform/x11/X11ScreenPower.h"
#include "screen/startup/ConnectionRequestFile.h"
#include "support/TestEnvironment.h"

namespace kl::test {
namespace {

std::vector<std::string> testPorts() {
    // Port 0 everywhere: nothing of this test's service meets a viewer.
    return {"KL_SCREEN_MAIN_PORT=0", "KL_SCREEN_CLIENT_SIDEBAND_PORT=0", "KL_SCREEN_SERVER_SIDEBAND_PORT=0"};
}

std::vector<std::string> withRuntimeDir(const std::filesystem::path& dir) {
    auto env = testPorts();
    env.push_back("XDG_RUNTIME_DIR=" + dir.string());
    return env;
}

TEST(ServiceLaunch, ASecondInstanceOfTheSessionExitsAtOnceWithStatusZero) {
    KL_START_XVFB(xvfb, 320, 240);
    auto session = makeTempDir("session");
    ServiceProcess first(withRuntimeDir(session));
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.waitForLog("Server reported version 2.0.0")) << first.log();

    ServiceProcess second(withRuntimeDir(session));
    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_NE(second.log().find("deskgate already running, we should simply exit."), std::string::npos) << second.log();
    EXPECT_EQ(second.log().find("Server reported version"), std::string::npos) << "it went on starting";

    // Another session's service is not the same instance.
    ServiceProcess otherSession(withRuntimeDir(makeTempDir("session")));
    EXPECT_TRUE(otherSession.waitForLog("Server reported version 2.0.0")) << otherSession.log();

    EXPECT_EQ(first.waitForExit(std::chrono::milliseconds(100)), -1) << "the first instance keeps running";
    EXPECT_EQ(first.terminate(), 0);
}

TEST(ServiceLaunch, TheDaemonsScanFindsTheServiceAndWhatItOffers) {
    auto record = runningServiceForExecutable(KL_DESKGATE_PROGRAM, 4242);
    EXPECT_EQ(record.serviceName, "com.kelvaro.portweaver.service.deskgate");
    EXPECT_EQ(record.serviceNames, std::vector<std::string>{"_dgmscreen._tcp"});
    ASSERT_TRUE(record.requiresUniversalAccess.has_value());
    EXPECT_TRUE(*record.requiresUniversalAccess);
    EXPECT_EQ(record.serviceVersion, "2.0.0 (2.0.0)");
}

TEST(ServiceLaunch, TheDaemonsConnectionRequestReachesTheServer) {
    KL_START_XVFB(xvfb, 320, 240);
    // The test binary's private root holds the system folders both sides use.
    auto file = connectionRequestFile();
    std::filesystem::create_directories(file.parent_path());
    std::filesystem::remove(file);
    { std::ofstream(file) << "request from host-b"; }
    ServiceProcess service(withRuntimeDir(makeTempDir("session")));
    ASSERT_TRUE(service.waitForLog("Server reported version 2.0.0")) << service.log();
    // The watch starts after the version line; post until the server has heard one.
    ASSERT_TRUE(waitFor(
        [&] {
            NotifyBus::post(kConnectionRequestNotification, NotifyBus::Scope::System);
            return service.waitForLog("portweaverReceivedConnectionRequest: request from host-b",
                                      std::chrono::milliseconds(200));
        },
        std::chrono::seconds(20)))
        << service.log();
    EXPECT_NE(service.log().find("Got notification from Portweaver Daemon that server sent a request for connection"),
              std::string::npos);
    EXPECT_EQ(service.terminate(), 0);
}

TEST(ScreenStateWatcher, ReportsTheScreenSaverAndNoDisplaySleepWithoutDpms) {
    KL_START_XVFB(xvfb, 320, 240);
    MainLoop loop;
    std::vector<bool> saver;
    auto watcher = X11ScreenStateWatcher::create(loop, {[&](bool running) { saver.push_back(running); }, nullptr});
    ASSERT_TRUE(watcher);
    if (!watcher->watchesScreenSaver()) GTEST_SKIP() << "the X server has no MIT-SCREEN-SAVER";

    ASSERT_EQ(std::system("xset s activate"), 0);
    ASSERT_TRUE(loop.runUntil([&] { return !saver.empty(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(saver.back());
    ASSERT_EQ(std::system("xset s reset"), 0);
    ASSERT_TRUE(loop.runUntil([&] { return saver.size() >= 2; }, std::chrono::seconds(10)));
    EXPECT_FALSE(saver.back());

    // Xvfb has no DPMS: the display never sleeps and cannot be told to.
    auto c = X11Connection::open();
    ASSERT_TRUE(c);
    EXPECT_FALSE(x11DisplayAsleep(*c));
    EXPECT_FALSE(x11SetDisplayAsleep(*c, true));
}

}  // namespace
}  // namespace kl::test

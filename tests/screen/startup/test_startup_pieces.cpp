// The start-up's pieces on their own: the instance lock, the connection-request file as a hostile
// folder may present it, and the screen's wake state around a viewer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "screen/startup/ConnectionRequestFile.h"
#include "screen/startup/ScreenPowerState.h"
#include "screen/startup/SingleInstanceLock.h"
#include "support/TestEnvironment.h"

namespace kl::test {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(SingleInstanceLock, OneHolderAtATimeAndALinkIsNotFollowed) {
    auto dir = makeTempDir("lock");
    auto path = dir / "service.lock";
    auto first = SingleInstanceLock::acquire(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(SingleInstanceLock::acquire(path)) << "a second holder while the first runs";
    first.reset();
    EXPECT_TRUE(SingleInstanceLock::acquire(path)) << "free again once the holder is gone";

    // A link planted where the lock goes must not make the service create or lock its target.
    auto planted = dir / "planted.lock";
    std::filesystem::create_symlink(dir / "elsewhere", planted);
    EXPECT_FALSE(SingleInstanceLock::acquire(planted));
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST(SingleInstanceLock, LivesInTheSessionsRuntimeFolder) {
    auto dir = makeTempDir("xdg");
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    EXPECT_EQ(SingleInstanceLock::pathForProgram("svc"), dir / "svc.lock");
}

TEST(ConnectionRequestFile, ReadsOnlyARegularFileAndOnlyUpToTheCap) {
    auto dir = makeTempDir("request");
    writeFile(dir / "plain", "host-a:7001");
    writeFile(dir / "big", std::string(3 * kConnectionRequestMaxBytes, 'x'));
    writeFile(dir / "target", "secret of another user");
    std::filesystem::create_symlink(dir / "target", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder");

    struct Case {
        const char* name;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain", "host-a:7001"},
        {"big", std::string(kConnectionRequestMaxBytes, 'x')},
        {"link", ""},    // not followed
        {"fifo", ""},    // neither read nor waited on
        {"folder", ""},  // not a file
        {"missing", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(readConnectionRequest(dir / c.name), c.expected) << c.name;
    EXPECT_EQ(readConnectionRequest(dir / "plain", 4), "host");
}

class RecordingPower : public DisplayPower {
public:
    void setDisplayAsleep(bool asleep) override { calls.push_back(asleep ? "sleep" : "wake"); }
    void resetScreenSaver() override { calls.push_back("reset"); }
    std::vector<std::string> calls;
};

struct PowerFixture : ::testing::Test {
    std::shared_ptr<RecordingPower> power = std::make_shared<RecordingPower>();
    bool viewerConnected = false;
    ScreenPowerState state{power, [this] { return viewerConnected; }};
};

TEST_F(PowerFixture, SleepWhileAViewerIsConnectedIsUndoneAtOnce) {
    state.displayWentToSleep();
    EXPECT_TRUE(power->calls.empty()) << "no viewer: the display may sleep";
    viewerConnected = true;
    state.displayWentToSleep();
    EXPECT_EQ(power->calls, std::vector<std::string>{"wake"});
    EXPECT_TRUE(state.displayAsleep());
    state.displayWoke();
    EXPECT_FALSE(state.displayAsleep());
}

TEST_F(PowerFixture, TheScreenGoesBackToSleepAfterTheViewerOnlyWhenItWasAsleepAtConnection) {
    state.displayWentToSleep();
    state.wakeScreen();  // viewer connects
    state.displayWoke();
    state.restoreScreenState();  // viewer leaves
    EXPECT_EQ(power->calls, (std::vector<std::string>{"wake", "sleep"}));

    power->calls.clear();
    state.wakeScreen();  // awake at connection
    state.restoreScreenState();
    EXPECT_EQ(power->calls, std::vector<std::string>{"wake"});

    power->calls.clear();
    state.restoreScreenState();  // a second leave does not put it to sleep again
    EXPECT_TRUE(power->calls.empty());
}

TEST_F(PowerFixture, SaverStateFollowsItsReportsAndRemovalResetsTheIdleTimer) {
    state.screenSaverChanged(true);
    EXPECT_TRUE(state.screenSaverRunning());
    state.screenSaverChanged(false);
    EXPECT_FALSE(state.screenSaverRunning());
    state.removeScreenSaver();
    EXPECT_EQ(power->calls, std::vector<std::string>{"reset"});
}

}  // namespace
}  // namespace kl::test

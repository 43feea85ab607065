// The service program as it is started: it serves a viewer on the ports its environment names,
// streams the screen and the cursor, and ends with status 0 on SIGTERM while a viewer is connected.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "ScreenServerTestSupport.h"

extern char** environ;

namespace kl::test {
namespace {

TEST(ScreenServiceProgram, ServesAViewerAndExitsCleanlyOnSigterm) {
    KL_REQUIRE_SHARED_XVFB();
    Client client;
    ASSERT_TRUE(client.connected());
    client.drawTestDesktop(kScreenWidth, kScreenHeight);
    SidebandCounter sideband;
    const uint16_t port = freeLoopbackPort(SOCK_STREAM);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("KL_SCREEN_MAIN_PORT=" + std::to_string(port));
    env.push_back("KL_SCREEN_CLIENT_SIDEBAND_PORT=" + std::to_string(sideband.port()));
    env.push_back("KL_SCREEN_SERVER_SIDEBAND_PORT=0");
    env.push_back("KL_LOG_STDERR=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = KL_DESKGATE_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()), 0);
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        }
    } reaper{pid};

    // The first connection that gets through is the viewer (a probe would be taken for one).
    std::unique_ptr<TestViewer> connecting;
    ASSERT_TRUE(waitFor(
        [&] {
            connecting = std::make_unique<TestViewer>(port);
            if (!connecting->connected()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return connecting->connected();
        },
        std::chrono::seconds(20)));
    TestViewer& viewer = *connecting;
    ASSERT_TRUE(viewer.waitUntil([](auto& s) { return s.helloReceived; }));
    ASSERT_TRUE(viewer.handshake(fullHandshake(11)));
    ASSERT_TRUE(viewer.requestUntilQuiet());
    viewer.with([](viewer::ViewerUpdateStream& s) {
        EXPECT_FALSE(s.failed()) << s.failure();
        EXPECT_EQ(s.lastDesignation, 0x28);
        EXPECT_GT(s.records.size(), 0u);
        return 0;
    });
    EXPECT_TRUE(waitFor([&] { return sideband.cursorDatagrams() > 10; }));

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20)));
    reaper.pid = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(viewer.waitClosed());
}

}  // namespace
}  // namespace kl::test

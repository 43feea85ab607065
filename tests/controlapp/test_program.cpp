// The control app program itself, run as an unprivileged user.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "controlapp/KLTDaemonBlessing.h"
#include "platform/Process.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

TEST(Program, AnUnprivilegedUserWithoutCredentialsIsToldSoAndTheAppExitsWithOne) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the app as another user";
    // A folder the other user may use: the test's own root is private to root.
    char pattern[] = "/tmp/kl-app-user-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path home = pattern;
    ::chmod(home.c_str(), 0777);
    const std::string log = (home / "log").string();
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(out, 1);
        ::dup2(out, 2);
        const std::string root = "KL_ROOT=" + (home / "root").string(), sockets = "KLIPC_SOCKET_DIR=" + home.string(),
                          homeVar = "HOME=" + home.string(), runtime = "XDG_RUNTIME_DIR=" + home.string();
        const char* env[] = {root.c_str(), sockets.c_str(), homeVar.c_str(), runtime.c_str(), "QT_QPA_PLATFORM=offscreen",
                             "ASAN_OPTIONS=detect_leaks=0", "PATH=/usr/bin:/bin", nullptr};
        ::execle("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KL_APP_PATH, nullptr,
                 env);
        ::_exit(127);
    }
    int status = 0;
    bool ended = test::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(60));
    if (!ended) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    std::stringstream output;
    output << std::ifstream(log).rdbuf();
    // The app's own helpers may still be writing there as it is removed: a leftover is no failure.
    std::error_code leftover;
    std::filesystem::remove_all(home, leftover);
    ASSERT_TRUE(ended) << output.str();
    ASSERT_TRUE(WIFEXITED(status)) << output.str();
    EXPECT_EQ(WEXITSTATUS(status), 1) << output.str();
    EXPECT_NE(output.str().find("Unable to run without credential"), std::string::npos) << output.str();
}

}  // namespace
}  // namespace kl

// Whether input can be injected: a real Xvfb with and without XTEST, a Wayland session, and no
// display at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/x11/AXAPIEnabled.h"

namespace kl {
namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

// A private Xvfb on a display it picks itself; extra: more server arguments.
class Xvfb {
public:
    explicit Xvfb(std::vector<std::string> extra) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            std::vector<std::string> argv = {kXvfb, "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp"};
            argv.insert(argv.end(), extra.begin(), extra.end());
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::execv(kXvfb, args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 10000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number.push_back(c);
        }
        ::close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~Xvfb() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

class AXAPI : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kXvfb)) GTEST_SKIP() << "Xvfb is not installed";
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("XDG_SESSION_TYPE");
    }
    void TearDown() override {
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("DISPLAY");
    }
};

TEST_F(AXAPI, EnabledExactlyWhenTheXDisplayOffersXTestOutsideWayland) {
    Xvfb withXTest({});
    ASSERT_FALSE(withXTest.display().empty());
    ::setenv("DISPLAY", withXTest.display().c_str(), 1);
    EXPECT_TRUE(AXAPIEnabled());
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_FALSE(AXAPIEnabled()) << "under Wayland, XTEST reaches no native window";
    ::unsetenv("WAYLAND_DISPLAY");

    Xvfb withoutXTest({"-extension", "XTEST"});
    ASSERT_FALSE(withoutXTest.display().empty());
    ::setenv("DISPLAY", withoutXTest.display().c_str(), 1);
    EXPECT_FALSE(AXAPIEnabled());

    ::setenv("DISPLAY", ":4093", 1);  // nobody answers there
    EXPECT_FALSE(AXAPIEnabled());
}

}  // namespace
}  // namespace kl

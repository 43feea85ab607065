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

#include "support/XvfbServer.h"
#include "platform/x11/AXAPIEnabled.h"

namespace kl {
namespace {

using Xvfb = test::XvfbServer;
constexpr const char* kXvfb = test::kXvfbPath;

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
    Xvfb withXTest;
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

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "controlapp/KLTRelaunch.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

TEST(Relaunch, APrivateCopyOfTheToolStartsTheAppOnceTheOldProcessEnded) {
    const auto bundle = test::makeTempDir("bundle");
    const auto marker = test::makeTempDir("marker") / "started";
    std::filesystem::create_directories(bundle / "bin");
    std::filesystem::create_directories(bundle / "libexec");
    std::filesystem::copy_file(KL_RELAUNCH_PATH, bundle / "libexec" / kRelaunchToolName);
    // The "app" records that it ran and whether the old process was gone by then.
    std::ofstream(bundle / "bin/portweaver") << "#!/bin/sh\necho started > " << marker.string() << "\n";
    std::filesystem::permissions(bundle / "bin/portweaver", std::filesystem::perms::owner_all);

    pid_t old = ::fork();
    if (old == 0) {
        ::usleep(300 * 1000);
        ::_exit(0);
    }
    std::atomic<bool> oldEnded{false};
    std::jthread reaper([&] {
        ::waitpid(old, nullptr, 0);
        oldEnded = true;
    });
    auto copy = startRelaunchTool(bundle, old);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->parent_path().parent_path(), paths::runtimeDir());
    struct stat folder {};
    ASSERT_EQ(::stat(copy->parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    EXPECT_FALSE(std::filesystem::exists(marker)) << "the app must wait for the old process";
    ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(marker); }, std::chrono::seconds(10)));
    EXPECT_TRUE(oldEnded.load());
}

TEST(Relaunch, AMissingToolIsReported) {
    EXPECT_FALSE(startRelaunchTool(test::makeTempDir("empty-bundle"), ::getpid()));
}

}  // namespace
}  // namespace kl

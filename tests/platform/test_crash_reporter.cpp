#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/CrashReporter.h"
#include "platform/Files.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

// This binary, started again with KL_CRASH_CHILD, crashes before the tests run.
[[maybe_unused]] const bool gCrashChild = [] {
    const char* how = std::getenv("KL_CRASH_CHILD");
    const char* folder = std::getenv("KL_CRASH_FOLDER");
    if (!how || !folder) return false;
    if (!CrashReporter::install("com.kelvaro.portweaver.controlapp", "1.2.3 (45)", folder)) std::_Exit(90);
    if (std::strcmp(how, "segv") == 0) {
        // Not null, so the sanitizers' null check does not stop it first.
        *reinterpret_cast<volatile int*>(uintptr_t(8)) = 1;
    } else if (std::strcmp(how, "abort") == 0) {
        std::abort();
    }
    std::_Exit(91);
}();

int runCrashingChild(const char* how, const fs::path& folder) {
    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("KL_CRASH_CHILD", how, 1);
        ::setenv("KL_CRASH_FOLDER", folder.c_str(), 1);
        // The sanitizer's own handlers would report and exit instead of letting ours run.
        ::setenv("ASAN_OPTIONS",
                 "handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0", 1);
        ::execl("/proc/self/exe", "crash-child", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    return files;
}

}  // namespace

TEST(CrashReporter, CrashingChildLeavesOneReportAndDiesOfItsSignal) {
    struct Case {
        const char* how;
        int signal;
        const char* signalLine;
    } cases[] = {{"segv", SIGSEGV, "Signal: 11 (SIGSEGV)"}, {"abort", SIGABRT, "Signal: 6 (SIGABRT)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        auto folder = test::makeTempDir("crashes") / "com.kelvaro.portweaver.controlapp/crashes";
        int status = runCrashingChild(c.how, folder);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);
        auto files = filesIn(folder);
        ASSERT_EQ(files.size(), 1u);
        auto report = readFile(files[0]);
        ASSERT_TRUE(report.ok());
        EXPECT_NE(report->find("Identifier: com.kelvaro.portweaver.controlapp\nVersion: 1.2.3 (45)\n"), std::string::npos);
        EXPECT_NE(report->find(c.signalLine), std::string::npos) << *report;
        if (c.signal == SIGSEGV) {
            EXPECT_NE(report->find("Address: 0x8\n"), std::string::npos) << *report;
        }
        // At least a few frames follow the heading.
        auto trace = report->find("Backtrace:\n");
        ASSERT_NE(trace, std::string::npos);
        EXPECT_GE(std::count(report->begin() + trace, report->end(), '\n'), 3);

        // The next launch logs it once.
        auto logged = CrashReporter::logNewReports(folder);
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_TRUE(fs::exists(logged[0]));
        EXPECT_TRUE(CrashReporter::logNewReports(folder).empty());
    }
}

TEST(CrashReporter, NextLaunchKeepsTheNewestTwenty) {
    auto folder = test::makeTempDir("crashes");
    auto name = [](int second, const char* suffix) {
        char text[64];
        std::snprintf(text, sizeof text, "crash-%012d-100%s", second, suffix);
        return std::string(text);
    };
    for (int i = 0; i < 18; ++i) std::ofstream(folder / name(1000 + i, ".crash")) << "old";
    for (int i = 0; i < 5; ++i) std::ofstream(folder / name(2000 + i, ".new")) << "new";
    std::ofstream(folder / "unrelated.txt") << "kept";

    auto logged = CrashReporter::logNewReports(folder);
    EXPECT_EQ(logged.size(), 5u);
    auto files = filesIn(folder);
    EXPECT_EQ(files.size(), CrashReporter::kKeptReports + 1);
    EXPECT_FALSE(fs::exists(folder / name(1002, ".crash")));
    EXPECT_TRUE(fs::exists(folder / name(1003, ".crash")));
    EXPECT_TRUE(fs::exists(folder / name(2004, ".crash")));
    EXPECT_TRUE(fs::exists(folder / "unrelated.txt"));
}

TEST(CrashReporter, DefaultFolderFollowsXdgStateHome) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    std::string restore = saved ? saved : "";
    ::setenv("XDG_STATE_HOME", "/somewhere/state", 1);
    EXPECT_EQ(CrashReporter::defaultFolder("com.kelvaro.portweaver.controlapp"),
              "/somewhere/state/com.kelvaro.portweaver.controlapp/crashes");
    if (saved) {
        ::setenv("XDG_STATE_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

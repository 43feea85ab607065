#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/DesktopEntryExec.h"
#include "controlapp/desktop/KLTLaunchServices.h"
#include "controlapp/desktop/KLTProcess.h"
#include "foundation/KLTLogging.h"
#include "platform/Preferences.h"
#include "platform/Process.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

class LoginItems : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code error;
        fs::remove_all(KLTLaunchServices::sessionListFolder(), error);
        fs::remove_all(KLTLaunchServices::globalListFolder(), error);
        clearMemoryLog();
    }
    static size_t entryCount(const fs::path& folder) {
        auto entries = KLTLaunchServices::listEntries(folder);
        return entries ? entries->size() : 0;
    }
};

}  // namespace

TEST(DesktopExec, QuotingRoundTripsAndPassesTheValidator) {
    const std::vector<std::string> programs = {
        "/opt/portweaver/bin/portweaver",
        "/home/a b/Downloads/Port Weaver/bin/portweaver",
        "/tmp/it's \"quoted\"/bin/x",
        "/tmp/$HOME`id`/back\\slash/100%/x;y&z",
    };
    for (const auto& program : programs) {
        SCOPED_TRACE(program);
        auto exec = quoteDesktopExec({program, "--flag"});
        ASSERT_TRUE(exec);
        auto back = parseDesktopExec(*exec);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, (std::vector<std::string>{program, "--flag"}));

        auto folder = test::makeTempDir("entry");
        ASSERT_TRUE(KLTLaunchServices::writeEntry(folder, program, "com.kelvaro.portweaver.controlapp"));
        auto entry = folder / KLTLaunchServices::entryFileName(program, "com.kelvaro.portweaver.controlapp");
        ASSERT_TRUE(fs::exists(entry));
        int status = runProgram({"desktop-file-validate", entry.string()});
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        auto listed = KLTLaunchServices::listEntries(folder);
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->at(entry), program);
    }
    EXPECT_FALSE(quoteDesktopExec({"/tmp/new\nline"}));
    for (const char* broken : {"\"/unterminated", "/x \\q", "\"/a\\z\"", "/trailing\\"}) EXPECT_FALSE(parseDesktopExec(broken)) << broken;
}

TEST(LoginItemURLs, ProbableEquality) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"/opt/pw/bin/app", "/opt/pw/bin/app", true},
        {"/opt/pw/./bin/app", "/opt/pw/bin/app", true},
        {"/opt/pw/bin/", "/opt/pw/bin", true},
        {"file:///opt/pw/bin/app", "/opt/pw/bin/../bin/app", true},
        {"file://localhost/opt/pw", "file:///opt/pw/", true},
        {"/opt/pw/bin/app", "/opt/pw/bin/app2", false},
        {"", "", false},
        {"/opt/pw", "", false},
        {"https://example.com/a", "https://example.com/a/", false},
        {"https://example.com/a", "https://example.com/a", true},
    };
    for (const auto& c : cases) EXPECT_EQ(ProbableFileURLsAreEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

TEST_F(LoginItems, RepeatedAddKeepsOneEntryAndSaysSo) {
    const std::string app = "/opt/portweaver/bin/portweaver";
    KLTLaunchServices::addAppAsLoginItem(app);
    EXPECT_TRUE(memoryLogContains("Added LoginItem."));
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems(app));
    KLTLaunchServices::addAppAsLoginItem("/opt/portweaver/./bin/portweaver/");
    EXPECT_TRUE(memoryLogContains("Already in login items"));
    EXPECT_EQ(entryCount(KLTLaunchServices::sessionListFolder()), 1u);
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems(app, true));
}

TEST_F(LoginItems, DeleteRemovesBothListsAndLeavesOthers) {
    if (::geteuid() != 0) GTEST_SKIP() << "the global list is written directly only by root";
    const std::string app = "/opt/portweaver/bin/portweaver";
    const std::string other = "/usr/bin/other-tool";
    KLTLaunchServices::addAppAsLoginItem(app, false);
    KLTLaunchServices::addAppAsLoginItem(app, true);
    KLTLaunchServices::addAppAsLoginItem(other, false);
    ASSERT_TRUE(KLTLaunchServices::appExistsInLoginItems(app, true));
    EXPECT_TRUE(fs::exists(KLTLaunchServices::globalListFolder()));
    // A copy written by hand (another file name, "." in its path) is the same item too.
    ASSERT_TRUE(KLTLaunchServices::writeEntry(KLTLaunchServices::sessionListFolder(), "/opt/portweaver/./bin/portweaver",
                                              "hand-made"));
    ASSERT_EQ(entryCount(KLTLaunchServices::sessionListFolder()), 3u);

    KLTLaunchServices::deleteAppFromLoginItem(app, false);
    KLTLaunchServices::deleteAppFromLoginItem(app, true);
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems(app, false));
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems(app, true));
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems(other, false));
    EXPECT_EQ(entryCount(KLTLaunchServices::sessionListFolder()), 1u);
}

TEST_F(LoginItems, SearchByTextAndGlobalChangesOfAUserGoThroughTheHelper) {
    KLTLaunchServices::addAppAsLoginItem("/old/place/com.kelvaro.portweaver.service.deskgate");
    KLTLaunchServices::addAppAsLoginItem("/usr/bin/other");
    auto found = KLTLaunchServices::applicationURLsForUTI("com.kelvaro.portweaver.service.deskgate", false);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (std::map<std::string, std::string>{{"/old/place/com.kelvaro.portweaver.service.deskgate", "NO"}}));

    // A user who is not root changes the global list only through the helper.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
        std::vector<std::vector<std::string>> calls;
        KLTLaunchServices::setGlobalChanger([&](const std::vector<std::string>& args) {
            calls.push_back(args);
            return false;
        });
        clearMemoryLog();
        KLTLaunchServices::addAppAsLoginItem("/opt/a b", true);
        if (calls != std::vector<std::vector<std::string>>{{"add-login-item", "/opt/a b"}}) ::_exit(11);
        if (!memoryLogContains("Could not insert LoginItems item URL.")) ::_exit(12);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessTable, ListsASpawnedChildAndRefusesUnsafeSignals) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    bool seen = test::waitFor([&] {
        auto table = KLTProcess::getCurrentProcesses();
        return table && table->count(child) && table->at(child).processName == "sleep";
    });
    auto table = KLTProcess::getCurrentProcesses();
    ASSERT_TRUE(table);
    ASSERT_TRUE(seen);
    const KLTProcess& process = table->at(child);
    EXPECT_EQ(process.uid, ::geteuid());
    EXPECT_TRUE(process.ownedByCurrentUser());
    const struct passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(process.userName, user->pw_name);
    EXPECT_TRUE(table->count(::getpid()));

    for (pid_t unsafe : {pid_t(0), pid_t(-1), ::getpid()}) EXPECT_FALSE((KLTProcess{unsafe, 0, {}, {}}.terminate()));
    EXPECT_TRUE(process.terminate());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(KLTProcess::getCurrentProcesses(test::tempRoot() / "no-proc"));
}

TEST_F(LoginItems, StartAtLoginOffRemovesBothEntriesAndOldServiceCopiesGo) {
    if (::geteuid() != 0) GTEST_SKIP() << "the global list is written directly only by root";
    auto app = KLTAppDelegate::create({"/home/u/PortWeaver", nullptr, {}});
    app->changeStartAtLoginState(true);
    app->addSystemWideLoginItem();
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", false));
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", true));
    app->changeStartAtLoginState(false);
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", false));
    EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems("/home/u/PortWeaver/bin/portweaver", true));
    EXPECT_EQ(Preferences("com.kelvaro.portweaver.controlapp").boolean("startAtLogin"), false);

    const std::string service = "com.kelvaro.portweaver.service.deskgate";
    const std::string current = "/home/u/PortWeaver/libexec/" + service;
    for (bool global : {false, true}) {
        KLTLaunchServices::addAppAsLoginItem("/old/copy/libexec/" + service, global);
        KLTLaunchServices::addAppAsLoginItem(current, global);
    }
    KLTLaunchServices::addAppAsLoginItem("/usr/bin/unrelated");
    app->deleteLoginItemsMatchingUTI(service, current);
    for (bool global : {false, true}) {
        EXPECT_FALSE(KLTLaunchServices::appExistsInLoginItems("/old/copy/libexec/" + service, global));
        EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems(current, global));
    }
    EXPECT_TRUE(KLTLaunchServices::appExistsInLoginItems("/usr/bin/unrelated"));
}

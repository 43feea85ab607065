#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "controlapp/desktop/PFMoveApplication.h"
#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/Preferences.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

struct Delegate : PFMoveApplicationDelegate {
    std::vector<bool> choices;
    void userChoseToMoveApplication(bool move) override { choices.push_back(move); }
};

// A bundle in a Downloads folder, a destination under a writable "opt", and every action recorded.
class MoveApplication : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test::makeTempDir("move");
        source_ = root_ / "home/Downloads/PortWeaver";
        writeBundle(source_, "downloaded");
        mover_ = std::make_unique<PFMoveApplication>(source_, "com.kelvaro.portweaver.movetest" + std::to_string(++counter_));
        mover_->destination = root_ / "opt/portweaver";
        fs::create_directories(root_ / "opt");
        mover_->delegate = delegate_;
        mover_->alerts.offer = [this](const std::string& message, const std::string& informative) {
            offers_.push_back(message + " " + informative);
            return answer_;
        };
        mover_->alerts.failure = [this](const std::string& message) { failures_.push_back(message); };
        mover_->actions.run = [this](const std::vector<std::string>& argv) {
            runs_.push_back(argv);
            return 0;
        };
        mover_->actions.relaunch = [this](const fs::path& bundle) { relaunched_.push_back(bundle); };
        mover_->actions.launch = [this](const fs::path& bundle) { launched_.push_back(bundle); };
        mover_->actions.exitProcess = [this](int status) { exits_.push_back(status); };
    }
    static void writeBundle(const fs::path& bundle, const std::string& program) {
        ASSERT_TRUE(writeFileAtomically(bundle / "Info.plist", "<plist/>").ok());
        ASSERT_TRUE(writeFileAtomically(bundle / "bin/portweaver", program, 0755).ok());
    }
    static std::string programIn(const fs::path& bundle) {
        auto text = readFile(bundle / "bin/portweaver");
        return text.ok() ? *text : "";
    }

    static inline int counter_ = 0;
    fs::path root_, source_;
    std::unique_ptr<PFMoveApplication> mover_;
    std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
    PFMoveApplication::AlertAnswer answer_{true, false};
    std::vector<std::string> offers_, failures_;
    std::vector<std::vector<std::string>> runs_;
    std::vector<fs::path> relaunched_, launched_;
    std::vector<int> exits_;
};

}  // namespace

TEST_F(MoveApplication, NothingOfferedInAnApplicationsFolder) {
    mover_->homeApplications = "/home/u/Applications";
    for (const char* path : {"/home/u/Applications/PortWeaver", "/home/u/Applications", "/srv/Applications/x/PortWeaver",
                             "/usr/lib/portweaver", "/opt/PortWeaver"}) {
        PFMoveApplication other(path, "com.kelvaro.portweaver.movetest-none");
        other.alerts = mover_->alerts;
        other.actions = mover_->actions;
        other.destination = "/opt/portweaver";
        other.homeApplications = "/home/u/Applications";
        other.moveToApplicationsFolderIfNecessary();
        EXPECT_TRUE(other.isInApplicationsFolder(path)) << path;
    }
    EXPECT_FALSE(mover_->isInApplicationsFolder("/home/u/Downloads/PortWeaver"));
    EXPECT_FALSE(mover_->isInApplicationsFolder("/optional/PortWeaver"));
    EXPECT_TRUE(offers_.empty());
}

TEST_F(MoveApplication, DeclineIsRememberedOnlyWhenTicked) {
    answer_ = {false, false};
    mover_->moveToApplicationsFolderIfNecessary();
    mover_->moveToApplicationsFolderIfNecessary();
    EXPECT_EQ(offers_.size(), 2u);
    answer_ = {false, true};
    mover_->moveToApplicationsFolderIfNecessary();
    mover_->moveToApplicationsFolderIfNecessary();
    EXPECT_EQ(offers_.size(), 3u);
    EXPECT_EQ(delegate_->choices, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(programIn(source_), "downloaded");
    EXPECT_FALSE(fs::exists(mover_->destination));
    EXPECT_TRUE(exits_.empty());
}

TEST_F(MoveApplication, MovesReplacesAnOldCopyTrashesTheSourceAndRelaunches) {
    writeBundle(mover_->destination, "older copy");
    mover_->moveToApplicationsFolderIfNecessary();
    ASSERT_EQ(offers_.size(), 1u);
    EXPECT_NE(offers_[0].find("This will keep your Downloads folder uncluttered."), std::string::npos) << offers_[0];
    EXPECT_EQ(delegate_->choices, std::vector<bool>{true});
    EXPECT_EQ(programIn(mover_->destination), "downloaded");
    EXPECT_FALSE(fs::exists(source_));
    const fs::path trash = test::tempRoot() / "home/.local/share/Trash";
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const fs::path trashFolder = xdg ? fs::path(xdg) / "Trash" : trash;
    // Both the old copy and the source went to the Trash, each with its record.
    EXPECT_TRUE(fs::exists(trashFolder / "files/portweaver"));
    EXPECT_EQ(programIn(trashFolder / "files/PortWeaver"), "downloaded");
    auto info = readFile(trashFolder / "info/PortWeaver.trashinfo");
    ASSERT_TRUE(info.ok());
    EXPECT_NE(info->find("Path=" + source_.string() + "\n"), std::string::npos) << *info;
    EXPECT_EQ(relaunched_, std::vector<fs::path>{mover_->destination});
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_TRUE(runs_.empty());
    EXPECT_TRUE(failures_.empty());
}

TEST_F(MoveApplication, RunningDestinationCopyIsSwitchedTo) {
    fs::create_directories(mover_->destination / "bin");
    fs::copy_file("/bin/sleep", mover_->destination / "bin/portweaver");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl((mover_->destination / "bin/portweaver").c_str(), "portweaver", "30", nullptr);
        ::_exit(127);
    }
    ASSERT_TRUE(test::waitFor([&] { return PFMoveApplication::copyRunsFrom(mover_->destination); }));
    mover_->moveToApplicationsFolderIfNecessary();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(memoryLogContains("INFO -- Switching to an already running version"));
    EXPECT_EQ(launched_, std::vector<fs::path>{mover_->destination});
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_TRUE(relaunched_.empty());
    EXPECT_EQ(programIn(source_), "downloaded") << "the source stays";
}

TEST_F(MoveApplication, UnwritableDestinationGoesThroughTheHelper) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // The user owns the download; the applications folder stays root's.
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "home")) ::lchown(entry.path().c_str(), 65534, 65534);
    ::lchown((root_ / "home").c_str(), 65534, 65534);
    for (fs::path folder = root_; folder != test::tempRoot().parent_path(); folder = folder.parent_path())
        fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        const std::vector<std::string> expected = {"pkexec", (source_ / "libexec/portweaver-root-helper").string(),
                                                   "move-bundle", source_.string()};
        // Cancelled authorization: nothing happens, no failure alert.
        mover_->actions.run = [this](const std::vector<std::string>& argv) {
            runs_.push_back(argv);
            return 126 << 8;
        };
        mover_->moveToApplicationsFolderIfNecessary();
        if (offers_.size() != 1 || offers_[0].find("require an administrator password") == std::string::npos) ::_exit(11);
        if (runs_ != std::vector<std::vector<std::string>>{expected} || !exits_.empty() || !failures_.empty()) ::_exit(12);
        // A helper that fails for another reason: the failure alert.
        mover_->actions.run = [](const std::vector<std::string>&) { return 1 << 8; };
        mover_->moveToApplicationsFolderIfNecessary();
        if (failures_.size() != 1 || !exits_.empty()) ::_exit(13);
        // Granted: the source goes and the app relaunches from the destination.
        mover_->actions.run = [](const std::vector<std::string>&) { return 0; };
        mover_->moveToApplicationsFolderIfNecessary();
        if (exits_ != std::vector<int>{0} || relaunched_ != std::vector<fs::path>{mover_->destination}) ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(MoveApplication, ReadOnlySourceIsCopiedAndKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A private mount namespace where the source folder is a read-only mount, like a disk image.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(10);
        const fs::path folder = source_.parent_path();
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(11);
        if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) ::_exit(12);
        if (!PFMoveApplication::isOnReadOnlyMount(source_)) ::_exit(13);
        mover_->moveToApplicationsFolderIfNecessary();
        if (offers_.size() != 1 || exits_ != std::vector<int>{0}) ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(programIn(source_), "downloaded") << "a read-only source stays";
    EXPECT_EQ(programIn(mover_->destination), "downloaded");
    EXPECT_FALSE(PFMoveApplication::isOnReadOnlyMount(source_));
}

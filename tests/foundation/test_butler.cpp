// Support folders, archives and user notifications.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "foundation/KLTButler.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTUserNotificationManager.h"
#include "platform/Paths.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat st{};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

void writeBytes(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

// Sets a umask for the scope of a test.
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : saved(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved); }
    mode_t saved;
};

}  // namespace

TEST(KLTButler, FoldersFollowTheDataHomeAndTheProgramsName) {
    auto support = KLTButler::applicationSupportDirectory();
    ASSERT_TRUE(support);
    EXPECT_EQ(*support, paths::dataHome());
    EXPECT_EQ(KLTButler::kelvaroSupportDirectory(), *support / "Kelvaro");
    EXPECT_EQ(KLTButler::glassViewSupportDirectory(), *support / "Kelvaro" / "Glass View");

    EXPECT_FALSE(KLTButler::currentBundleSupportDirectory());
    KLTButler::setMainBundleIdentifier("com.kelvaro.portweaver.daemon");
    EXPECT_EQ(KLTButler::currentBundleSupportDirectory(), *support / "Kelvaro" / "com.kelvaro.portweaver.daemon");
    KLTButler::setMainBundleIdentifier("");
    // Asking for a folder creates nothing.
    EXPECT_FALSE(fs::exists(*support / "Kelvaro"));
}

TEST(KLTButler, RoundTripIntoAMissingFolderUnderARestrictiveUmask) {
    ScopedUmask mask(077);
    fs::path base = test::makeTempDir("archive");
    fs::path file = base / "Kelvaro" / "com.example.app" / "Hosts.keyedArchive";
    Value hosts = Array{Value(Dictionary{{"name", "Studio"}, {"uuid", "ab12"}, {"status", 1}, {"id", uint64_t(7)}}),
                        Value(Dictionary{{"name", "Laptop"}, {"remote_addresses", Array{Value("192.0.2.1")}},
                                         {"data", Bytes{0, 1, 2}}})};
    ASSERT_TRUE(KLTButler::archiveObject(hosts, file));
    EXPECT_EQ(modeOf(base / "Kelvaro"), 0755u);
    EXPECT_EQ(modeOf(file.parent_path()), 0755u);
    EXPECT_EQ(modeOf(file), 0600u);  // files follow the umask
    auto back = KLTButler::unarchiveFileWithPath(file);
    ASSERT_TRUE(back);
    // Property lists keep integers without a sign bit of their own: an unsigned one returns signed.
    EXPECT_EQ(back->asArray()->at(0).get("id")->asUInt(), 7u);
    EXPECT_EQ(back->asArray()->at(1), hosts.asArray()->at(1));
    EXPECT_EQ(back->asArray()->at(0).stringOr("name", ""), "Studio");

    // Replacing an archive leaves no temporary files behind.
    ASSERT_TRUE(KLTButler::archiveObject(Value("second"), file));
    EXPECT_EQ(KLTButler::unarchiveFileWithPath(file), Value("second"));
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST(KLTButler, CreateDirectoryAtPath) {
    ScopedUmask mask(077);
    fs::path base = test::makeTempDir("dirs");
    EXPECT_TRUE(KLTButler::createDirectoryAtPath(base / "a" / "b" / "c"));
    EXPECT_EQ(modeOf(base / "a" / "b"), 0755u);
    EXPECT_TRUE(KLTButler::createDirectoryAtPath(base / "a" / "b"));  // already there
    writeBytes(base / "file", "x");
    EXPECT_FALSE(KLTButler::createDirectoryAtPath(base / "file"));
    EXPECT_FALSE(KLTButler::createDirectoryAtPath(base / "file" / "below"));
}

TEST(KLTButler, UnarchivingAnythingButOurArchiveGivesNothing) {
    fs::path base = test::makeTempDir("bad");
    ASSERT_TRUE(KLTButler::archiveObject(Value(Dictionary{{"k", "a fairly long value to cut"}}), base / "good"));
    std::ifstream in(base / "good", std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    auto foreign = valueToPlist(Value(Dictionary{{"CFBundleIdentifier", "other.program"}}));
    ASSERT_TRUE(foreign.ok());
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"garbage", "this is not a property list at all"},
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"header-only", whole.substr(0, 8)},
        {"foreign", std::string(foreign.value().begin(), foreign.value().end())},
        {"xml-garbage", "<?xml version=\"1.0\"?><plist><dict><key>a</key>"},
    };
    for (const auto& c : cases) {
        fs::path file = base / c.name;
        writeBytes(file, c.bytes);
        clearMemoryLog();
        EXPECT_FALSE(KLTButler::unarchiveFileWithPath(file)) << c.name;
        EXPECT_TRUE(memoryLogContains("error: Error reading archive: " + file.string())) << c.name;
    }
    // A missing file is not an error worth a line.
    clearMemoryLog();
    EXPECT_FALSE(KLTButler::unarchiveFileWithPath(base / "missing"));
    EXPECT_FALSE(memoryLogContains("Error reading archive"));
}

TEST(KLTButler, ArchiveFailureIsLoggedAndReported) {
    fs::path base = test::makeTempDir("fail");
    writeBytes(base / "blocker", "x");  // a file where the folder should be
    clearMemoryLog();
    EXPECT_FALSE(KLTButler::archiveObject(Value("v"), base / "blocker" / "archive"));
    EXPECT_TRUE(memoryLogContains("Error archiving to file: " + (base / "blocker" / "archive").string() +
                                  " with object: "));
}

TEST(KLTUserNotificationManager, PresentsOnlyWithTitleAndMessage) {
    struct Recorder : KLTUserNotificationPresenter {
        std::vector<std::pair<std::string, std::string>> shown;
        void presentUserNotification(const std::string& title, const std::string& message) override {
            shown.emplace_back(title, message);
        }
    };
    auto& manager = KLTUserNotificationManager::sharedInstance();
    EXPECT_EQ(&manager, &KLTUserNotificationManager::sharedInstance());
    EXPECT_TRUE(manager.shouldPresentNotification());
    auto recorder = std::make_shared<Recorder>();
    manager.setPresenter(recorder);
    manager.deliverUserNotificationWithTitle("Studio", std::nullopt);
    manager.deliverUserNotificationWithTitle(std::nullopt, "is available");
    manager.deliverUserNotificationWithTitle("Studio", "is available");
    ASSERT_EQ(recorder->shown.size(), 1u);
    EXPECT_EQ(recorder->shown[0], std::make_pair(std::string("Studio"), std::string("is available")));

    manager.setPresenter(nullptr);  // back to the log, as in the daemon
    manager.deliverUserNotificationWithTitle("Laptop", "went offline");
    EXPECT_TRUE(memoryLogContains("info: User notification: Laptop: went offline"));
}

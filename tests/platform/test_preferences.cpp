// Per-domain preference files.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Paths.h"
#include "platform/Preferences.h"
#include "platform/ValuePlist.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

constexpr const char* kControlApp = "com.kelvaro.portweaver.controlapp";

void writeBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace

TEST(Preferences, WrittenByOneProcessReadByAnother) {
    auto file = Preferences::fileForDomain(kControlApp);
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, paths::configHome() / "Kelvaro" / "Preferences" / "com.kelvaro.portweaver.controlapp.plist");

    Preferences writer(kControlApp);
    EXPECT_FALSE(writer.integer("loggingLevel"));
    writer.setValue("loggingLevel", 3);
    EXPECT_EQ(writer.integer("loggingLevel"), 3);  // visible at once to its own object
    Preferences early(kControlApp);
    EXPECT_FALSE(early.integer("loggingLevel"));    // but not in the file before synchronize
    ASSERT_TRUE(writer.synchronize());

    Preferences reader(kControlApp);
    EXPECT_EQ(reader.integer("loggingLevel"), 3);
    EXPECT_FALSE(early.integer("loggingLevel"));  // a loaded copy changes at its own synchronize
    ASSERT_TRUE(early.synchronize());
    EXPECT_EQ(early.integer("loggingLevel"), 3);
}

TEST(Preferences, SynchronizeMergesChangesOfTwoWriters) {
    const char* domain = "com.example.merge";
    Preferences first(domain), second(domain);
    first.setValue("firstRun", false);
    first.setValue("shared", "first");
    second.setValue("startAtLogin", true);
    second.setValue("shared", "second");
    ASSERT_TRUE(first.synchronize());
    ASSERT_TRUE(second.synchronize());
    Preferences fresh(domain);
    EXPECT_EQ(fresh.boolean("firstRun"), false);
    EXPECT_EQ(fresh.boolean("startAtLogin"), true);
    EXPECT_EQ(fresh.value("shared"), Value("second"));

    fresh.removeValue("shared");
    EXPECT_FALSE(fresh.value("shared"));
    ASSERT_TRUE(fresh.synchronize());
    EXPECT_FALSE(Preferences(domain).value("shared"));
}

TEST(Preferences, DefaultsAndIntegerReadings) {
    Preferences prefs("com.example.defaults");
    prefs.registerDefaults(Dictionary{{"loggingLevel", "1"}, {"firstRun", true}});
    EXPECT_EQ(prefs.integer("loggingLevel"), 1);  // a default registered as text
    EXPECT_EQ(prefs.boolean("firstRun"), true);
    EXPECT_EQ(prefs.dictionaryRepresentation().size(), 2u);

    struct Case {
        Value stored;
        std::optional<int64_t> reading;
    } cases[] = {
        {Value(2), 2},          {Value("-1"), -1},      {Value("+7"), 7},   {Value("2x"), std::nullopt},
        {Value(""), std::nullopt}, {Value(true), std::nullopt}, {Value(1.5), std::nullopt},
        {Value(uint64_t(1) << 63), std::nullopt},
    };
    for (const auto& c : cases) {
        prefs.setValue("loggingLevel", c.stored);
        EXPECT_EQ(prefs.integer("loggingLevel"), c.reading) << c.stored.description();
    }
    // Registered defaults are never written.
    prefs.removeValue("loggingLevel");
    ASSERT_TRUE(prefs.synchronize());
    EXPECT_FALSE(Preferences("com.example.defaults").value("firstRun"));
}

TEST(Preferences, UnsafeDomainNamesAreRefused) {
    for (const char* bad : {"", ".", "..", "../escape", "a/b"}) {
        Preferences prefs(bad);
        EXPECT_FALSE(prefs.isValid()) << bad;
        prefs.setValue("k", 1);
        EXPECT_FALSE(prefs.synchronize()) << bad;
    }
    EXPECT_FALSE(fs::exists(paths::configHome() / "Kelvaro" / "escape.plist"));
}

TEST(Preferences, ACorruptFileReadsEmptyAndIsSetAsideBeforeItIsReplaced) {
    const char* domain = "com.example.corrupt";
    auto file = *Preferences::fileForDomain(domain);
    writeBytes(file, "bplist00 but not really");
    Preferences prefs(domain);
    EXPECT_FALSE(prefs.value("anything"));
    EXPECT_TRUE(prefs.synchronize());  // nothing to write: the file is left alone
    EXPECT_TRUE(fs::exists(file));
    EXPECT_FALSE(fs::exists(file.string() + ".corrupt"));
    prefs.setValue("loggingLevel", 2);
    ASSERT_TRUE(prefs.synchronize());
    EXPECT_TRUE(fs::exists(file.string() + ".corrupt"));
    EXPECT_EQ(Preferences(domain).integer("loggingLevel"), 2);

    // A property list that is not a dictionary counts as corrupt too.
    auto array = valueToPlist(Value(Array{Value(1)}));
    writeBytes(file, std::string(array.value().begin(), array.value().end()));
    EXPECT_FALSE(Preferences(domain).value("loggingLevel"));
}

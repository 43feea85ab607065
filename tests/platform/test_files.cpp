#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

using namespace kl;

TEST(Paths, SystemPathsLiveUnderTheRoot) {
    auto root = paths::root();
    EXPECT_NE(root, "/");  // the test main redirects it
    EXPECT_EQ(paths::system("/var/lib/x"), root / "var/lib/x");
    if (paths::isPrivileged()) {
        EXPECT_EQ(paths::dataHome(), root / "var/lib");
    } else {
        EXPECT_EQ(paths::dataHome(), test::tempRoot() / "home/.local/share");
    }
    paths::setRoot("/elsewhere");
    EXPECT_EQ(paths::system("run"), "/elsewhere/run");
    paths::setRoot({});
    EXPECT_EQ(paths::root(), root);
}

TEST(Files, AtomicWriteCreatesFoldersAndReplacesContents) {
    auto dir = test::makeTempDir() / "a/b";
    auto file = dir / "f.bin";
    ASSERT_TRUE(writeFileAtomically(file, "first", 0600, 0700).ok());
    ASSERT_TRUE(writeFileAtomically(file, std::string("sec\0nd", 6), 0600, 0700).ok());
    auto back = readFile(file);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, std::string("sec\0nd", 6));
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto missing = readFile(dir / "nope");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ENOENT);
}

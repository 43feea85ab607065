// SecretStore: keychain-like statuses, private files, and damaged items refused, not trusted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/SecretStore.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SecretStore, AddFindUpdateAndDeleteAnswerKeychainStatuses) {
    SecretStore store(test::makeTempDir("secrets") / "store");
    SecretItem item{bytes("generic"), "service", "ada@example.com", "label", bytes("pw1")};
    SecretItem found;
    EXPECT_EQ(store.copyMatching(item.generic, found), kSecretItemNotFound);
    EXPECT_EQ(store.deleteMatching(item.generic), kSecretItemNotFound);
    EXPECT_EQ(store.update(item.generic, item), kSecretItemNotFound);
    EXPECT_EQ(store.add(item), kSecretSuccess);
    EXPECT_EQ(store.add(item), kSecretDuplicateItem);

    item.account = "bob@example.com";
    item.data = bytes("pw2");
    EXPECT_EQ(store.update(item.generic, item), kSecretSuccess);
    ASSERT_EQ(store.copyMatching(item.generic, found), kSecretSuccess);
    EXPECT_EQ(found.account, "bob@example.com");
    EXPECT_EQ(found.data, bytes("pw2"));
    EXPECT_EQ(store.add(SecretItem{}), kSecretParameterError);

    struct stat info{};
    ASSERT_EQ(::stat(store.folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(store.folder())) {
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ++files;
    }
    EXPECT_EQ(files, 1u);

    EXPECT_EQ(store.deleteMatching(item.generic), kSecretSuccess);
    EXPECT_EQ(store.copyMatching(item.generic, found), kSecretItemNotFound);
}

TEST(SecretStore, ADamagedItemIsADecodeError) {
    SecretStore store(test::makeTempDir("secrets"));
    SecretItem item{bytes("g"), "s", "a", "l", bytes("p")};
    ASSERT_EQ(store.add(item), kSecretSuccess);
    for (const auto& entry : std::filesystem::directory_iterator(store.folder())) std::ofstream(entry.path()) << "junk";
    SecretItem found;
    EXPECT_EQ(store.copyMatching(item.generic, found), kSecretDecodeError);
}

}  // namespace
}  // namespace kl

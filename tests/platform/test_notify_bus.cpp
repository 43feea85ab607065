// NotifyBus between a poster and observers in this process (the watch is the same across processes:
// a file in a shared folder).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "platform/NotifyBus.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

auto direct = [](Task task) { task(); };

TEST(NotifyBus, ObserversSeeEachPostOfTheirNameOnly) {
    std::atomic<int> seen{0}, other{0};
    {
        NotifyBus::Observer observer("com.example.ping", NotifyBus::Scope::Session, direct, [&] { ++seen; });
        NotifyBus::Observer unrelated("com.example.other", NotifyBus::Scope::Session, direct, [&] { ++other; });
        ASSERT_TRUE(observer.watching());
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(NotifyBus::post("com.example.ping", NotifyBus::Scope::Session, "payload"));
            ASSERT_TRUE(test::waitFor([&] { return seen == i + 1; }, std::chrono::seconds(5))) << i;
        }
        std::ifstream file(NotifyBus::folder(NotifyBus::Scope::Session) / "com.example.ping");
        std::string payload;
        std::getline(file, payload);
        EXPECT_EQ(payload, "payload");
        EXPECT_EQ(other, 0);
    }
    // Destroyed observers are gone: their thread has ended and a post reaches nobody.
    ASSERT_TRUE(NotifyBus::post("com.example.ping", NotifyBus::Scope::Session));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen, 3);
}

TEST(NotifyBus, NamesThatAreNotFileNamesArePostedNowhere) {
    for (const char* name : {"", ".", "..", "a/b"}) EXPECT_FALSE(NotifyBus::post(name, NotifyBus::Scope::Session)) << name;
    NotifyBus::Observer observer("../escape", NotifyBus::Scope::Session, direct, [] {});
    EXPECT_FALSE(observer.watching());
}

}  // namespace
}  // namespace kl

// The avahi publisher and browser against a real avahi-daemon of the test's own.
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <vector>

#include "AvahiSandbox.h"
#include "platform/dnssd/DnsSdBrowser.h"
#include "platform/dnssd/DnsSdPublisher.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

class DnsSdPublisherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (test::AvahiSandbox::unavailableReason().empty()) sandbox_ = new test::AvahiSandbox;
    }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        if (!sandbox_) GTEST_SKIP() << test::AvahiSandbox::unavailableReason();
    }

    DnsSdPost post() {
        return [this](Task task) { loop_.post(std::move(task)); };
    }
    // Publishes and records every callback as "event:name".
    DnsSdPublisher::Id publish(DnsSdPublisher& publisher, DnsSdService service, std::vector<std::string>& events) {
        return publisher.publish(service, [&events](DnsSdPublishEvent event, const std::string& name) {
            events.push_back((event == DnsSdPublishEvent::Registered ? "registered:" : "failed:") + name);
        });
    }
    // The resolved lines for type that name one service, waiting up to 10 s for present.
    std::vector<std::string> linesNaming(const std::string& type, const std::string& name, bool present) {
        std::vector<std::string> lines;
        test::waitFor(
            [&] {
                lines.clear();
                for (const auto& line : sandbox_->browse(type))
                    if (line.find(";" + name + ";") != std::string::npos) lines.push_back(line);
                return lines.empty() != present;
            },
            10s);
        return lines;
    }

    static inline test::AvahiSandbox* sandbox_ = nullptr;
    MainLoop loop_;
};

TEST_F(DnsSdPublisherTest, PublishesOnLoopbackOnlyAndWithdraws) {
    auto publisher = DnsSdPublisher::create(post());
    std::vector<std::string> events;
    const auto id = publish(*publisher, {"Office", "_ssh._tcp", 2222, true}, events);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(loop_.runUntil([&] { return !events.empty(); }, 10s));
    EXPECT_EQ(events.front(), "registered:Office");

    const auto lines = linesNaming("_ssh._tcp", "Office", true);
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        EXPECT_EQ(line.rfind("lo;", 0), 0u) << line;
        EXPECT_NE(line.find(";2222"), std::string::npos) << line;
        const bool loopbackAddress = line.find(";127.0.0.1;") != std::string::npos || line.find(";::1;") != std::string::npos;
        EXPECT_TRUE(loopbackAddress) << line;
    }

    publisher->withdraw(id);
    EXPECT_TRUE(linesNaming("_ssh._tcp", "Office", false).empty());
}

TEST_F(DnsSdPublisherTest, RefusesWhatCanNeverBePublished) {
    auto publisher = DnsSdPublisher::create(post());
    std::vector<std::string> events;
    EXPECT_EQ(publish(*publisher, {std::string(64, 'x'), "_ssh._tcp", 22, true}, events), 0u);
    EXPECT_EQ(publish(*publisher, {"", "_ssh._tcp", 22, true}, events), 0u);
    EXPECT_EQ(publish(*publisher, {"Office", "ssh", 22, true}, events), 0u);
    EXPECT_EQ(publish(*publisher, {"Office", "_ssh._tcp", 0, true}, events), 0u);
    EXPECT_NE(publish(*publisher, {std::string(63, 'x'), "_ssh._tcp", 22, true}, events), 0u);
}

TEST_F(DnsSdPublisherTest, CollisionTakesTheAlternativeName) {
    // Two clients of the daemon, as two programs of this machine would be.
    auto first = DnsSdPublisher::create(post());
    auto second = DnsSdPublisher::create(post());
    std::vector<std::string> firstEvents, secondEvents;
    publish(*first, {"Studio", "_rfb._tcp", 5901, true}, firstEvents);
    ASSERT_TRUE(loop_.runUntil([&] { return !firstEvents.empty(); }, 10s));
    publish(*second, {"Studio", "_rfb._tcp", 5902, true}, secondEvents);
    ASSERT_TRUE(loop_.runUntil([&] { return !secondEvents.empty(); }, 10s));
    EXPECT_EQ(firstEvents.front(), "registered:Studio");
    EXPECT_EQ(secondEvents.front(), "registered:Studio #2");
    EXPECT_FALSE(linesNaming("_rfb._tcp", "Studio #2", true).empty());
}

TEST_F(DnsSdPublisherTest, PublicationsComeBackAfterTheDaemonRestarts) {
    auto publisher = DnsSdPublisher::create(post());
    std::vector<std::string> events;
    publish(*publisher, {"Cellar", "_daap._tcp", 3690, true}, events);
    ASSERT_TRUE(loop_.runUntil([&] { return events.size() == 1; }, 10s));

    sandbox_->stopAvahi();
    sandbox_->startAvahi();
    ASSERT_TRUE(loop_.runUntil([&] { return events.size() == 2; }, 20s));
    EXPECT_EQ(events.back(), "registered:Cellar");
    EXPECT_FALSE(linesNaming("_daap._tcp", "Cellar", true).empty());
}

TEST_F(DnsSdPublisherTest, BrowserSeesArrivalAndDepartureWithTheRawName) {
    std::vector<DnsSdBrowseEvent> seen;
    auto browser = DnsSdBrowser::create("_afpovertcp._tcp", post(), [&](const DnsSdBrowseEvent& event) { seen.push_back(event); });
    auto publisher = DnsSdPublisher::create(post());
    const std::string name = "\xF0\x9F\x9A\x80 Office";
    std::vector<std::string> events;
    const auto id = publish(*publisher, {name, "_afpovertcp._tcp", 1548, true}, events);
    ASSERT_TRUE(loop_.runUntil([&] { return !seen.empty(); }, 10s));
    EXPECT_TRUE(seen.front().added);
    EXPECT_EQ(seen.front().name, name);
    EXPECT_EQ(seen.front().type, "_afpovertcp._tcp");
    EXPECT_EQ(seen.front().interfaceIndex, int(if_nametoindex("lo")));

    publisher->withdraw(id);
    ASSERT_TRUE(loop_.runUntil([&] { return seen.size() == 2; }, 10s));
    EXPECT_FALSE(seen.back().added);
    EXPECT_EQ(seen.back().name, name);
}

}  // namespace
}  // namespace kl

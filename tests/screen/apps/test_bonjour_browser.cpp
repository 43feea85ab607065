// The service browser against a private avahi-daemon: a published service of the class-wide type
// arrives in the active list with its batch announced, and leaves it when withdrawn.
#include <gtest/gtest.h>

#include "platform/Executors.h"
#include "platform/dnssd/AvahiSandbox.h"
#include "platform/dnssd/DnsSdPublisher.h"
#include "screen/apps/KLTBonjourBrowser.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

TEST(KLTBonjourBrowser, NeedsTheClassWideTypeFirst) {
    KLTBonjourBrowser::setBonjourServiceName("");
    EXPECT_FALSE(KLTBonjourBrowser::createWithoutStartingService([](Task) {}));
}

TEST(KLTBonjourBrowser, FollowsArrivalsAndDeparturesOfItsType) {
    if (auto reason = test::AvahiSandbox::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    test::AvahiSandbox sandbox;
    MainLoop loop;
    auto post = [&](Task task) { loop.post(std::move(task)); };
    KLTBonjourBrowser::setBonjourServiceName("kltestscreen");
    EXPECT_EQ(KLTBonjourBrowser::bonjourServiceName(), "kltestscreen");
    auto browser = KLTBonjourBrowser::create(post);
    ASSERT_TRUE(browser);
    EXPECT_TRUE(browser->started());

    std::vector<std::string> order;
    browser->willAddService.connect([&] { order.push_back("will-add"); });
    browser->didAddService.connect([&](const auto& batch) { order.push_back("did-add " + batch.at(0).name); });
    browser->willRemoveService.connect([&] { order.push_back("will-remove"); });
    browser->didRemoveService.connect(
        [&](const auto& names, const auto& batch) { order.push_back("did-remove " + names.at(0) + " " + batch.at(0).type); });

    auto publisher = DnsSdPublisher::create(post);
    const auto id = publisher->publish({"Screen of test", "_kltestscreen._tcp", 7001, true}, [](auto, const auto&) {});
    ASSERT_NE(id, 0u);
    auto other = publisher->publish({"Not ours", "_kltestother._tcp", 7002, true}, [](auto, const auto&) {});
    ASSERT_NE(other, 0u);
    ASSERT_TRUE(loop.runUntil([&] { return !browser->activeServiceList().empty(); }, 10s));
    auto active = browser->activeServiceList();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].name, "Screen of test");
    EXPECT_EQ(active[0].type, "_kltestscreen._tcp");

    publisher->withdraw(id);
    ASSERT_TRUE(loop.runUntil([&] { return browser->activeServiceList().empty(); }, 10s));
    EXPECT_EQ(order, (std::vector<std::string>{"will-add", "did-add Screen of test", "will-remove",
                                               "did-remove Screen of test _kltestscreen._tcp"}));

    browser->stop();
    EXPECT_FALSE(browser->started());
}

}  // namespace
}  // namespace kl

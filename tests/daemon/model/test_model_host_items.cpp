#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "daemon/model/KLTHostItem.h"

namespace kl {
namespace {

Value record(Dictionary extra = {}) {
    Dictionary d{{"name", "Office"}, {"nickname", "Desk"}, {"model_number", "Macmini6,2"},
                 {"uuid", "u1"},     {"id", "7"},         {"status", 1},
                 {"service_names", "_ssh._tcp"}};
    for (auto& [key, value] : extra) d.set(key, value);
    return d;
}

TEST(HostItem, BuiltFromARecord) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record({{"service_names", "_ssh._tcp,,_rfb._tcp"}}));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->hostName(), "Office");
    EXPECT_EQ(item->nickname(), "Desk");
    EXPECT_EQ(item->modelString(), "Macmini6,2");
    EXPECT_EQ(item->hostUUID(), "u1");
    EXPECT_EQ(item->hostID(), "7");
    // The empty member is a type but gets no row.
    EXPECT_EQ(item->serviceTypes(), (std::set<std::string>{"", "_ssh._tcp", "_rfb._tcp"}));
    EXPECT_EQ(item->serviceItems(), (std::vector<KLTServiceItem>{{"_ssh._tcp"}, {"_rfb._tcp"}}));
    EXPECT_EQ(item->serviceItems()[0].action, "Connect");
    ASSERT_EQ(item->nestedSelves().size(), 1u);
    EXPECT_EQ(item->nestedSelves()[0]->parentHostItem(), item);

    EXPECT_EQ(KLTHostItem::hostItemWithPWDictionary(Value("not a record")), nullptr);
    EXPECT_EQ(KLTHostItem::serviceTypesFromPWDictionary(Value(Array{})), std::nullopt);
}

TEST(HostItem, StatusAndTunnelStateGiveTheDisplayState) {
    struct Case {
        Value status;
        std::vector<int32_t> tunnelStates;  // applied in order
        bool available, connecting, connected;
        const char* suffix;
    } cases[] = {
        {Value(0), {0}, false, false, false, "_offline"},
        {Value(true), {0}, true, false, false, "_available"},
        {Value(0), {3}, true, true, false, "_available"},
        {Value(0), {5}, true, false, true, "_connected"},
        {Value(0), {5, 0}, true, false, false, "_available"},
        {Value(1), {1, 7}, true, false, false, "_available"},
    };
    for (const auto& c : cases) {
        auto item = KLTHostItem::hostItemWithPWDictionary(record({{"status", c.status}}));
        for (int32_t s : c.tunnelStates) item->setConnectionStatus(s);
        std::string what = c.status.description() + " then " + std::to_string(c.tunnelStates.back());
        EXPECT_EQ(item->available(), c.available) << what;
        EXPECT_EQ(item->connecting(), c.connecting) << what;
        EXPECT_EQ(item->connected(), c.connected) << what;
        EXPECT_EQ(item->modelImageSuffix(), c.suffix) << what;
    }
}

TEST(HostItem, TunnelStateFromTheRecordAndObserversAreTold) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record({{"status", 0}, {"tunnexConnectionStatus", 3}}));
    EXPECT_TRUE(item->connecting());
    EXPECT_TRUE(item->available());
    std::vector<std::string> keys;
    item->didChangeValueForKey.connect([&](const std::string& key) { keys.push_back(key); });
    auto told = [&](const char* key) { return std::count(keys.begin(), keys.end(), key); };
    item->setConnectionStatus(5);
    EXPECT_EQ(told("connected"), 1);
    EXPECT_EQ(told("connecting"), 1);
    EXPECT_EQ(told("available"), 0) << "already available";

    // An unavailable host whose tunnel comes up becomes available, and observers hear of it.
    for (int32_t status : {2, 5}) {
        item->setAvailable(false);
        keys.clear();
        item->setConnectionStatus(status);
        EXPECT_TRUE(item->available()) << status;
        EXPECT_EQ(told("available"), 1) << status;
    }
}

// The IPC queue changes an item while the main loop draws it: every read sees a whole state.
TEST(HostItem, ReadersOnAnotherThreadSeeWholeStates) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record({{"status", 0}}));
    // Longer than any short-string buffer, so a torn copy would read freed memory.
    const std::string names[] = {std::string(40, 'a'), std::string(48, 'b')};
    std::atomic<bool> done = false;
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            item->setConnectionStatus(i % 2 ? 5 : 0);
            item->setAvailable(i % 3 == 0);
            item->setSshUsername(names[i % 2]);
        }
        done = true;
    });
    int torn = 0;
    while (!done) {
        const auto state = item->displayState();
        const bool connected = state.connectionStatus == 5;
        torn += state.connected != connected || state.connecting ||
                (state.modelImageSuffix == "_connected") != connected ||
                (!connected && state.modelImageSuffix != (state.available ? "_available" : "_offline"));
        const auto name = item->nestedSelves()[0]->sshUsername();
        const auto parentName = item->sshUsername();
        torn += name && *name != names[0] && *name != names[1];
        torn += parentName && *parentName != names[0] && *parentName != names[1];
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

TEST(HostItem, MergeAddsTypesButNoRows) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record());
    item->updateWithPWDictionary(record({{"service_names", "_rfb._tcp"}, {"status", 0}, {"name", "Renamed"}}));
    EXPECT_EQ(item->serviceTypes(), (std::set<std::string>{"_ssh._tcp", "_rfb._tcp"}));
    EXPECT_EQ(item->serviceItems().size(), 1u);
    EXPECT_FALSE(item->available());
    EXPECT_EQ(item->hostName(), "Office");
}

TEST(HostItem, SshUserNameTravelsBetweenItemAndRowWithoutLooping) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record());
    auto nested = item->nestedSelves()[0];
    int rowEdits = 0, itemChanges = 0;
    nested->didChangeValueForKey.connect([&](const std::string& key) { rowEdits += key == "sshUsername"; });
    item->didChangeValueForKey.connect([&](const std::string& key) { itemChanges += key == "sshUsername"; });

    item->setSshUsername("alice");
    EXPECT_EQ(nested->sshUsername(), "alice");
    EXPECT_EQ(rowEdits, 0);

    nested->setSshUsername("bob");
    EXPECT_EQ(item->sshUsername(), "bob");
    EXPECT_EQ(rowEdits, 1);
    EXPECT_EQ(itemChanges, 1);

    auto copy = item->copy();
    EXPECT_EQ(copy->hostUUID(), "u1");
    EXPECT_EQ(copy->sshUsername(), std::nullopt);
    EXPECT_TRUE(copy->serviceTypes().empty());
}

TEST(HostItemArchive, RecordsAndWhatTheyApply) {
    auto item = KLTHostItem::hostItemWithPWDictionary(record());
    item->setSshUsername("alice");
    auto archive = item->hostItemArchive();
    EXPECT_EQ(archive.toValue(), Value(Dictionary{{"objectVersion", 1}, {"hostUUID", "u1"}, {"sshUsername", "alice"}}));
    EXPECT_TRUE(archive.isCurrentVersion());

    auto fresh = KLTHostItem::hostItemWithPWDictionary(record());
    KLTHostItemArchive::fromValue(archive.toValue())->impartArchiveStateOnHostItem(fresh.get());
    EXPECT_EQ(fresh->sshUsername(), "alice");
    EXPECT_EQ(fresh->nestedSelves()[0]->sshUsername(), "alice");

    // Written without a user name: decoding gives none, and applying it keeps the item's.
    auto bare = KLTHostItemArchive::fromValue(Value(Dictionary{{"objectVersion", 1}, {"hostUUID", "u1"}}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->sshUsername, std::nullopt);
    bare->impartArchiveStateOnHostItem(fresh.get());
    EXPECT_EQ(fresh->sshUsername(), "alice");
    EXPECT_NE(bare->description().find("version = 1, hostUUID = u1, sshUsername = (null)"), std::string::npos);

    EXPECT_FALSE(KLTHostItemArchive::fromValue(Value(Dictionary{{"objectVersion", 2}}))->isCurrentVersion());
    EXPECT_EQ(KLTHostItemArchive::fromValue(Value(3)), std::nullopt);
}

}  // namespace
}  // namespace kl

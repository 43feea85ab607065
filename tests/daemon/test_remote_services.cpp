// The account client's remote service records: each host list through the reconciliation core,
// every record handed to the tunnel, the own-host sign-out, and the change announced on the main
// loop after the set holds the new records.
#include <gtest/gtest.h>

#include "daemon/FakeAccountClient.h"
#include "daemon/PWRemoteServices.h"
#include "foundation/KLTLogging.h"
#include "platform/ValueJson.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

using test::FakeAccountClient;

Array hosts(const char* json) {
    auto parsed = valueFromJson(json);
    EXPECT_TRUE(parsed.ok() && parsed->asArray()) << json;
    return parsed.ok() && parsed->asArray() ? *parsed->asArray() : Array{};
}

class RemoteServices : public ::testing::Test {
protected:
    void SetUp() override {
        PWRemoteServices::Options options;
        options.machineID = [] { return std::optional<std::string>("own"); };
        options.clock = [this] { return now; };
        options.registerWithTunnel = [this](const std::shared_ptr<KLTNetService>& s) { registered.push_back(s->uuid()); };
        services = PWRemoteServices::create(std::move(options));
        services->setAccountClient(client);
        client->didUpdateRemotes.connect([this] {
            ++posts;
            recordsWhenPosted = services->remoteServiceRecords().size();
        });
    }
    // Feeds a list, then lets the main loop deliver what was posted.
    void feed(const char* json) {
        services->updateRemoteServicesFromServer(hosts(json));
        mainLoop().runUntil([] { return false; }, 20ms);
    }

    std::shared_ptr<FakeAccountClient> client = std::make_shared<FakeAccountClient>();
    std::shared_ptr<PWRemoteServices> services;
    Clock::time_point now = Clock::now();
    std::vector<std::string> registered;
    int posts = 0;
    size_t recordsWhenPosted = 0;
};

constexpr const char* kTwoHosts =
    R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp,_rfb._tcp","id":7,
         "nickname":"Desk","model_number":"Macmini6,2"},
        {"name":"Me","uuid":"own","status":"available","service_names":"_ssh._tcp","id":8}])";

TEST_F(RemoteServices, ChangesArePostedOnTheLoopAfterTheSetHoldsThemAndEveryRecordGoesToTheTunnel) {
    services->updateRemoteServicesFromServer(hosts(kTwoHosts));
    EXPECT_EQ(posts, 0) << "posted on a later turn of the main loop, not inside the update";
    mainLoop().runUntil([&] { return posts > 0; }, 1s);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(recordsWhenPosted, 3u);
    EXPECT_EQ(registered, (std::vector<std::string>{"u1", "u1", "own"}));

    feed(kTwoHosts);
    EXPECT_EQ(posts, 1) << "the same list again changes nothing";
    EXPECT_EQ(registered.size(), 6u) << "yet every record of every list is registered";

    auto records = services->remoteServiceRecords();
    auto office = std::find_if(records.begin(), records.end(), [](auto& r) { return r.type == "_rfb._tcp"; });
    ASSERT_NE(office, records.end());
    EXPECT_EQ(office->displayName, "Desk");
    EXPECT_EQ(office->serverID, "7");
    EXPECT_EQ(office->modelNumber, "Macmini6,2");
    EXPECT_EQ(office->status, 1);
    EXPECT_EQ(office->uuid, "u1");
}

TEST_F(RemoteServices, ThisMachineMissingFromTheListSignsOutOnlyAfterTheGrace) {
    constexpr const char* kWithoutMe =
        R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp","id":7}])";
    clearMemoryLog();
    feed(kWithoutMe);
    now += 59s;
    feed(kWithoutMe);
    EXPECT_EQ(client->signOuts, 0);
    now += 2s;
    feed(kWithoutMe);
    EXPECT_EQ(client->signOuts, 1);
    EXPECT_TRUE(memoryLogContains("Deleting this peer ("));
    EXPECT_EQ(services->remoteServiceRecords().size(), 1u) << "the list's records are kept after the sign-out";
}

}  // namespace
}  // namespace kl

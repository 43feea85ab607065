#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "daemon/model/PWRemoteHostReconciler.h"
#include "foundation/KLTLogging.h"
#include "platform/ValueJson.h"

namespace kl {
namespace {

const std::string kOwnID = "own-machine";

Value hosts(const char* json) {
    auto parsed = valueFromJson(json);
    EXPECT_TRUE(parsed.ok()) << json;
    return parsed.ok() ? *parsed : Value();
}

std::vector<std::string> keys(const KLTNetServiceSet& set) {
    std::vector<std::string> out;
    for (const auto& [key, service] : set) out.push_back(key);
    return out;
}

using Strings = std::vector<std::string>;

// Feeds lists one after another as the account client does, keeping the current set.
struct HostListRun {
    PWRemoteHostReconciler reconciler;
    KLTNetServiceSet current;
    Clock::time_point start = Clock::now();

    PWRemoteHostUpdate feed(const char* json, std::chrono::seconds at = std::chrono::seconds(0)) {
        auto update = reconciler.reconcile(hosts(json), current, kOwnID, start + at);
        current = update.current;
        return update;
    }
};

constexpr const char* kOffice =
    R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp,_rfb._tcp","id":7,
         "model_number":"Macmini6,2","nickname":"Desk","remote_addresses":"10.0.0.5:4000"},
        {"name":"Me","uuid":"own-machine","status":"available","service_names":"_ssh._tcp"}])";

TEST(HostList, FirstListAddsEverythingAndTheSameListAgainIsQuiet) {
    HostListRun run;
    auto first = run.feed(kOffice);
    EXPECT_TRUE(first.needsUpdate);
    EXPECT_EQ(keys(first.added),
              (Strings{"remote.~_rfb._tcp~Office", "remote.~_ssh._tcp~Me", "remote.~_ssh._tcp~Office"}));
    EXPECT_TRUE(first.existing.empty());
    EXPECT_TRUE(first.removed.empty());
    EXPECT_FALSE(first.signOut);

    const auto& office = first.current.at("remote.~_ssh._tcp~Office");
    EXPECT_EQ(office->uuid(), "u1");
    EXPECT_EQ(office->serverID(), "7");
    EXPECT_EQ(office->systemType(), "Macmini6,2");
    EXPECT_EQ(office->configuredName(), "Desk");
    EXPECT_EQ(office->status(), 1);
    ASSERT_EQ(office->addresses().size(), 1u);

    auto second = run.feed(kOffice);
    EXPECT_FALSE(second.needsUpdate);
    EXPECT_TRUE(second.added.empty());
    EXPECT_TRUE(second.removed.empty());
    EXPECT_EQ(second.existing.size(), 3u);
    // Every list registers all its records with the tunnel, not only new ones.
    EXPECT_EQ(second.records.size(), 3u);
}

TEST(HostList, AvailabilityChangesAreAnnouncedAsExistingRecords) {
    struct Case {
        const char* to;
        int32_t status;
    } cases[] = {{"asleep", 0}, {"connected", 0}, {"AVAILABLE", 1}, {"unavailable", 0}};
    for (const auto& c : cases) {
        HostListRun run;
        run.feed(R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp"}])");
        std::string next = std::string(R"([{"name":"Office","uuid":"u1","status":")") + c.to +
                           R"(","service_names":"_ssh._tcp"}])";
        auto update = run.feed(next.c_str());
        EXPECT_EQ(update.needsUpdate, c.status == 0) << c.to;
        EXPECT_TRUE(update.added.empty()) << c.to;
        EXPECT_TRUE(update.removed.empty()) << c.to;
        ASSERT_EQ(update.existing.size(), 1u) << c.to;
        EXPECT_EQ(update.existing.begin()->second->status(), c.status) << c.to;
        EXPECT_EQ(run.reconciler.availabilityNumbersByUUID().at("u1"), c.status == 1) << c.to;
    }
}

TEST(HostList, StatusChangeOfARecordAloneRaisesTheUpdate) {
    // The host's availability memory already says unavailable (from a list without services), but
    // the previous record still says available: the records differ, so the change is announced.
    HostListRun run;
    run.feed(R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp"}])");
    run.reconciler.reconcile(hosts(R"([{"uuid":"u1","status":"asleep"}])"), run.current, kOwnID, run.start);
    auto update = run.feed(R"([{"name":"Office","uuid":"u1","status":"asleep","service_names":"_ssh._tcp"}])");
    EXPECT_TRUE(update.needsUpdate);
}

TEST(HostList, HostsComingAndGoing) {
    HostListRun run;
    run.feed(R"([{"name":"A","uuid":"ua","status":"available","service_names":"_ssh._tcp"},
                 {"name":"B","uuid":"ub","status":"available","service_names":"_ssh._tcp"}])");
    auto update = run.feed(R"([{"name":"B","uuid":"ub","status":"available","service_names":"_ssh._tcp"},
                               {"name":"C","uuid":"uc","status":"available","service_names":"_ssh._tcp"}])");
    EXPECT_TRUE(update.needsUpdate);
    EXPECT_EQ(keys(update.added), (Strings{"remote.~_ssh._tcp~C"}));
    EXPECT_EQ(keys(update.removed), (Strings{"remote.~_ssh._tcp~A"}));
    EXPECT_EQ(keys(update.existing), (Strings{"remote.~_ssh._tcp~B"}));
    // Hosts no longer listed keep their last availability.
    EXPECT_TRUE(run.reconciler.availabilityNumbersByUUID().count("ua"));
}

TEST(HostList, TwoTypesOfOneHostShareTheUuidAndTheLastIsKeptByUuid) {
    HostListRun run;
    auto update =
        run.feed(R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp,_rfb._tcp"}])");
    ASSERT_EQ(update.records.size(), 2u);
    EXPECT_EQ(update.records[0]->uuid(), "u1");
    EXPECT_EQ(update.records[1]->uuid(), "u1");
    EXPECT_EQ(update.servicesByUUID.at("u1"), update.records[1]);
}

TEST(HostList, ServiceNamesOddities) {
    HostListRun run;
    auto update = run.feed(R"([{"name":"N","uuid":"u1","status":"available","service_names":null},
                               {"name":"E","uuid":"u2","status":"available","service_names":""},
                               {"name":"S","uuid":"u3","status":"available"}])");
    // null and absence give no records; an empty text gives one record of the empty type.
    ASSERT_EQ(update.records.size(), 1u);
    EXPECT_EQ(update.records[0]->serviceKey(), "remote.~~E");
}

TEST(HostList, OwnHostIsSignedOutOnlyAfterTheGrace) {
    const char* withoutMe = R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp"}])";
    HostListRun run;
    EXPECT_FALSE(run.feed(withoutMe).signOut);
    EXPECT_TRUE(run.reconciler.beenAcknowledged());
    EXPECT_FALSE(run.feed(withoutMe, std::chrono::seconds(59)).signOut);
    // Listed again after the grace: stays signed in.
    EXPECT_FALSE(run.feed(kOffice, std::chrono::seconds(61)).signOut);
    auto gone = run.feed(withoutMe, std::chrono::seconds(62));
    EXPECT_TRUE(gone.signOut);
    // Sign-out empties the previous set, so this list's records all count as added.
    EXPECT_EQ(keys(gone.added), (Strings{"remote.~_ssh._tcp~Office"}));
    EXPECT_TRUE(gone.removed.empty());
    EXPECT_TRUE(gone.existing.empty());

    // A host without service records does not count as present.
    auto listedWithoutServices =
        run.feed(R"([{"name":"Me","uuid":"own-machine","status":"available"}])", std::chrono::seconds(63));
    EXPECT_TRUE(listedWithoutServices.signOut);
}

TEST(HostList, UnknownOwnIdentityNeverSignsOut) {
    PWRemoteHostReconciler reconciler;
    auto start = Clock::now();
    reconciler.reconcile(hosts("[]"), {}, std::nullopt, start);
    EXPECT_FALSE(reconciler.reconcile(hosts("[]"), {}, std::nullopt, start + std::chrono::minutes(5)).signOut);
}

TEST(HostList, AddressListWithABadWord) {
    clearMemoryLog();
    HostListRun run;
    auto update = run.feed(
        R"([{"name":"Office","uuid":"u1","status":"available","service_names":"_ssh._tcp",
             "remote_addresses":"192.168.1.20:5000;;nonsense"}])");
    ASSERT_EQ(update.records.size(), 1u);
    auto addresses = update.records[0]->addresses();
    ASSERT_EQ(addresses.size(), 1u);
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addresses[0]);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(in->sin_port, 0);
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), 0xC0A80114u);
    size_t failures = 0;
    for (const auto& line : memoryLogLines())
        if (line.find("Failed to convert the IP address string into a sockaddr_in: nonsense") != std::string::npos)
            ++failures;
    EXPECT_EQ(failures, 1u);
}

TEST(HostList, MalformedRecordsAreSkippedAndTheRestKept) {
    clearMemoryLog();
    HostListRun run;
    auto update = run.feed(R"([
        {"name":"NoUuid","status":"available","service_names":"_ssh._tcp"},
        {"name":"NullAddresses","uuid":"u2","status":"available","service_names":"_ssh._tcp","remote_addresses":null},
        {"name":"NumberAddresses","uuid":"u3","status":"available","service_names":"_ssh._tcp","remote_addresses":5},
        {"name":7,"uuid":"u4","status":"available","service_names":"_ssh._tcp"},
        {"name":"NumberUuid","uuid":12,"status":"available","service_names":"_ssh._tcp"},
        {"name":"NumberTypes","uuid":"u6","status":"available","service_names":3},
        "not a host",
        {"name":"Good","uuid":"u9","status":"available","service_names":"_ssh._tcp","id":{"x":1}}])");
    EXPECT_EQ(keys(update.current), (Strings{"remote.~_ssh._tcp~Good"}));
    EXPECT_EQ(update.current.begin()->second->serverID(), "");
    EXPECT_TRUE(memoryLogContains("lists services without \"uuid\""));
    EXPECT_TRUE(memoryLogContains("\"remote_addresses\" is not a string"));
    EXPECT_TRUE(memoryLogContains("\"name\" is not a string"));

    // A reply that is no array is not read as an account without hosts.
    auto none = run.feed(R"({"hosts":[]})");
    EXPECT_FALSE(none.needsUpdate);
    EXPECT_TRUE(none.removed.empty());
    EXPECT_EQ(keys(none.current), (Strings{"remote.~_ssh._tcp~Good"}));
}

// The server sends null for a host nobody has named: such a host is listed like any other.
TEST(HostList, NullNicknameAndModelReadAsNone) {
    HostListRun run;
    auto update = run.feed(R"([{"name":"Fresh","uuid":"u1","status":"available","service_names":"_ssh._tcp",
                                "id":3,"nickname":null,"model_number":null}])");
    ASSERT_EQ(keys(update.current), (Strings{"remote.~_ssh._tcp~Fresh"}));
    EXPECT_EQ(update.current.begin()->second->nickname(), "");
    EXPECT_EQ(update.current.begin()->second->configuredName(), "Fresh");
}

}  // namespace
}  // namespace kl

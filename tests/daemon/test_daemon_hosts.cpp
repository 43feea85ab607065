// Two daemons of one account against the stand-in account server: each registers the services its
// scan finds, and each sees the other's host in its host list.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "AccountServer.h"
#include "DaemonTestSupport.h"
#include "foundation/KLDevice.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using test::command;
using test::DaemonProcess;
using test::TestControlApp;
using namespace std::chrono_literals;

constexpr const char* kEmail = "ada@example.com";
constexpr const char* kPassword = "correct horse";

struct Host {
    Host(test::AccountServer& server, const std::string& name, const std::string& machineID)
        : daemon(options(server, name, machineID)) {
        paths::setRoot(daemon.root());
        uuid = KLDevice::machineUniqueID().value_or("");
        paths::setRoot({});
    }
    static DaemonProcess::Options options(test::AccountServer& server, const std::string& name,
                                          const std::string& machineID) {
        DaemonProcess::Options options;
        options.daemonPreferences = {{"AccountServerHost", Value("127.0.0.1")},
                                     {"AccountServerPort", Value(int64_t(server.port()))}};
        options.environment["KL_HTTP_CA_FILE"] = server.caFile().string();
        // Records are told apart by domain, type and host name: two hosts need two names.
        options.rootFiles["/etc/hostname"] = name + "\n";
        options.rootFiles["/etc/machine-id"] = machineID + "\n";
        return options;
    }
    // The records of the host list (request 16), after asking for a fresh list (request 32).
    std::vector<Value> hosts(TestControlApp& app) {
        std::this_thread::sleep_for(200ms);
        app.request(command(32));
        std::vector<Value> records;
        auto reply = app.request(command(16));
        if (!reply) return records;
        if (const Value* array = reply->find("hosts_array"); array && array->asArray())
            for (const Value& host : *array->asArray())
                if (host.asDictionary()) records.push_back(host);
        return records;
    }
    DaemonProcess daemon;
    std::string uuid;
};

std::set<std::string> typesOf(const std::vector<Value>& records, const std::string& uuid) {
    std::set<std::string> types;
    for (const auto& record : records)
        if (record.stringOr("uuid", "") == uuid) types.insert(record.stringOr("service_names", ""));
    return types;
}

TEST(DaemonHosts, TwoDaemonsOfOneAccountListEachOthersScannedServices) {
    test::AccountServer server;
    server.addUser(kEmail, kPassword);
    // A control app connects to the socket folder of the daemon made last.
    Host a(server, "alpha", "0123456789abcdef0123456789abcdef");
    ASSERT_TRUE(a.daemon.waitUntilListening());
    TestControlApp appA, followerA;
    ASSERT_TRUE(followerA.request(command(1)));
    ASSERT_TRUE(appA.request(command(14)));
    Host b(server, "beta", "fedcba9876543210fedcba9876543210");
    ASSERT_TRUE(b.daemon.waitUntilListening());
    TestControlApp appB;
    ASSERT_TRUE(appB.request(command(14)));
    ASSERT_NE(a.uuid, b.uuid);
    for (TestControlApp* app : {&appA, &appB}) {
        auto reply = app->request(command(6, {{"email", Value(kEmail)}, {"password", Value(kPassword)}}), 30s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->find("registrarSignInResult")->asUInt(), 0u);
        app->request(command(31, {{"shouldRequestHosts", Value(true)}}));
    }

    // The scan finds the built-in services 7 seconds after start; the account client registers
    // them again, and the other host's list shows them.
    std::vector<Value> records;
    ASSERT_TRUE(test::waitFor([&] {
        records = a.hosts(appA);
        return typesOf(records, b.uuid).count("_ssh._tcp") && typesOf(b.hosts(appB), a.uuid).count("_ssh._tcp");
    }, 40s)) << "B's services never reached A's host list (or A's B's)\n" << a.daemon.log();
    EXPECT_EQ(typesOf(records, b.uuid).size(), 8u) << "one record per built-in service";
    EXPECT_TRUE(followerA.waitForMessage(6)) << "a changed host list is broadcast while reporting is on";

    // The host record table: its keys with their types, and no addresses.
    for (const auto& record : records) {
        SCOPED_TRACE(record.stringOr("uuid", "?"));
        std::set<std::string> keys;
        for (const auto& [key, value] : *record.asDictionary()) keys.insert(key);
        EXPECT_EQ(keys, (std::set<std::string>{"id", "model_number", "name", "nickname", "service_names", "status",
                                               "tunnexConnectionStatus", "uuid"}));
        for (const char* key : {"id", "model_number", "name", "nickname", "service_names", "uuid"})
            EXPECT_TRUE(record.get(key) && record.get(key)->asString()) << key << " is not a string";
        EXPECT_EQ(record.get("status")->asInt(), 1) << "a host offering services is available";
        EXPECT_TRUE(record.get("tunnexConnectionStatus")->asInt()) << "the tunnel state is a signed integer";
    }
    EXPECT_NE(records.front().stringOr("id", ""), "");
}

}  // namespace
}  // namespace kl

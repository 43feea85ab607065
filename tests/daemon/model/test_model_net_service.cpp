#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "daemon/model/KLTBonjourServiceHelper.h"
#include "daemon/model/KLTNetService.h"

namespace kl {
namespace {

TEST(NetService, KeyAndConfiguredNameFollowTheNickname) {
    KLTNetService record("remote.", "_afpovertcp._tcp", "Office");
    EXPECT_EQ(record.serviceKey(), "remote.~_afpovertcp._tcp~Office");
    EXPECT_EQ(record.identifierString(), record.serviceKey());
    EXPECT_EQ(record.configuredName(), "Office");
    record.setNickname("Studio");
    EXPECT_EQ(record.configuredName(), "Studio");
    record.setNickname("");
    EXPECT_EQ(record.configuredName(), "Office");
    EXPECT_EQ(record.port(), -1);
}

TEST(NetService, EqualityIsIdentityAndExactlyAlsoNeedsTheStatus) {
    KLTNetService a("remote.", "_ssh._tcp", "Office"), b("remote.", "_ssh._tcp", "Office"),
        other("remote.", "_ssh._tcp", "Lab");
    a.setStatus(1);
    b.setStatus(0);
    EXPECT_TRUE(a.isEqual(b));
    EXPECT_FALSE(a.isExactly(b));
    b.setStatus(1);
    EXPECT_TRUE(a.isExactly(b));
    EXPECT_FALSE(a.isEqual(other));
}

TEST(NetService, TransportAndSocketTypeOfServiceTypes) {
    struct Case {
        const char* type;
        std::optional<std::string> transport;
        int sockType;
    } cases[] = {
        {"_ssh._tcp", "_tcp", 1},
        {"_klexvscreen._udp", "_udp", 2},
        {"_ssh", std::nullopt, 0},
        {"", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLTDnsSdService::serviceTransportForServiceType(c.type), c.transport) << c.type;
        EXPECT_EQ(KLTDnsSdService::sockTypeForServiceType(c.type), c.sockType) << c.type;
    }
    EXPECT_EQ(KLTNetService("remote.", "_echo._udp", "x").sockType(), 2);
}

TEST(NetService, ServerIDTakesTextOrNumberOnly) {
    KLTNetService record("remote.", "_ssh._tcp", "Office");
    record.setServerID(Value(42));
    EXPECT_EQ(record.serverID(), "42");
    record.setServerID(Value("h-7"));
    EXPECT_EQ(record.serverID(), "h-7");
    record.setServerID(Value(Array{}));
    record.setServerID(Value());
    EXPECT_EQ(record.serverID(), "h-7");
    EXPECT_EQ(record.description(),
              "<service remote. _ssh._tcp Office port -1> - nickname:  status: 0, HostID: h-7");
}

TEST(NetService, BrowsedServiceAnswersAsPlainService) {
    KLTDnsSdService printer("local.", "_ipp._tcp", "Printer", 631);
    EXPECT_EQ(printer.configuredName(), "Printer (Bonjour)");
    EXPECT_EQ(printer.status(), 1);
    printer.setStatus(0);
    printer.setNickname("ignored");
    printer.setUuid("ignored");
    EXPECT_EQ(printer.status(), 1);
    EXPECT_EQ(printer.nickname(), "");
    EXPECT_EQ(printer.uuid(), "");
    EXPECT_EQ(printer.context(), nullptr);
}

TEST(NetService, ConnectedFlagOutlivesTheRecord) {
    {
        KLTNetService first("remote.", "_ssh._tcp", "Outliving");
        EXPECT_FALSE(first.connected());
        first.setConnected(true);
    }
    // The next host list rebuilds the record; the flag is found again under its key, also by a
    // browsed service of the same key.
    EXPECT_TRUE(KLTNetService("remote.", "_ssh._tcp", "Outliving").connected());
    EXPECT_TRUE(KLTDnsSdService("remote.", "_ssh._tcp", "Outliving").connected());
    EXPECT_FALSE(KLTNetService("remote.", "_ssh._tcp", "Other").connected());
}

TEST(NetService, TunnelThreadsReadAndRewriteWhileTheMainThreadUpdates) {
    auto record = std::make_shared<KLTNetService>("remote.", "_ssh._tcp", "Shared");
    std::vector<std::thread> tunnel;
    for (int t = 0; t < 4; ++t) {
        tunnel.emplace_back([record, t] {
            for (int i = 0; i < 2000; ++i) {
                std::string uuid = record->uuid();
                record->setUuid(i % 2 ? "tunnel-" + std::to_string(t) : uuid);
                record->setConnected(i % 2);
                (void)record->serviceKey();
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        record->setNickname(i % 2 ? "" : "Desk");
        record->setStatus(i % 2);
        (void)record->description();
    }
    for (auto& thread : tunnel) thread.join();
    EXPECT_EQ(record->uuid().rfind("tunnel-", 0), 0u);
    EXPECT_EQ(record->configuredName(), "Shared");
}

TEST(BonjourServiceHelper, KeysNeedAllThreeParts) {
    EXPECT_EQ(KLTBonjourServiceHelper::serviceKeyWithDomain("remote.", "_ssh._tcp", "Office"),
              "remote.~_ssh._tcp~Office");
    EXPECT_EQ(KLTBonjourServiceHelper::serviceKeyWithDomain(std::nullopt, "_ssh._tcp", "Office"), std::nullopt);
    EXPECT_EQ(KLTBonjourServiceHelper::serviceKeyWithDomain("remote.", std::nullopt, "Office"), std::nullopt);
    EXPECT_EQ(KLTBonjourServiceHelper::serviceKeyWithDomain("remote.", "_ssh._tcp", std::nullopt), std::nullopt);

    KLTNetService record("remote.", "_ssh._tcp", "Office");
    auto helper = KLTBonjourServiceHelper::serviceHelperWithService(record);
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->serviceKey, "remote.~_ssh._tcp~Office");
    EXPECT_EQ(helper->hostName, std::nullopt);
    EXPECT_TRUE(helper->isEqualToService(KLTDnsSdService("remote.", "_ssh._tcp", "Office")));
    EXPECT_FALSE(helper->isEqualToService(KLTDnsSdService("local.", "_ssh._tcp", "Office")));
}

}  // namespace
}  // namespace kl

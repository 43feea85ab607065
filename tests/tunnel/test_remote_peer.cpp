#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "TunnelTestSupport.h"
#include "foundation/KLTLogging.h"
#include "tunnel/TunnexBundle.h"
#include "tunnel/manager/TunnexRemotePeer.h"

namespace kl {
namespace {

// A service record the way the daemon's records behave: guarded fields, uuid rewritable.
class FakeService final : public TunnexServiceRecord {
public:
    FakeService(std::string key, std::string uuid) : key_(std::move(key)), uuid_(std::move(uuid)) {}
    std::string serviceKey() const override { return key_; }
    std::string uuid() const override {
        std::lock_guard lock(mutex_);
        return uuid_;
    }
    void setUuid(std::string uuid) override {
        std::lock_guard lock(mutex_);
        uuid_ = std::move(uuid);
    }
    std::string hostUUID() const override { return "host"; }
    std::string serverID() const override { return "17"; }
    std::string name() const override { return "box"; }
    std::string type() const override { return "_ssh._tcp."; }

private:
    std::string key_;
    mutable std::mutex mutex_;
    std::string uuid_;
};

// The tests never dereference the socket: a distinct non-null pointer is all they need.
std::shared_ptr<KLNetSocket> fakeSocket(const std::shared_ptr<int>& owner) {
    return std::shared_ptr<KLNetSocket>(owner, reinterpret_cast<KLNetSocket*>(owner.get()));
}

bool sameBytes(const sockaddr_storage& a, const sockaddr_storage& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(RemotePeer, KnownAddressesSkipDuplicatesOfAddressAndPort) {
    TunnexRemotePeer remote;
    EXPECT_TRUE(remote.addKnownAddressWithAddress(test::ipv4Address("10.0.0.1", 9300), 9300, false));
    EXPECT_FALSE(remote.addKnownAddressWithAddress(test::ipv4Address("10.0.0.1", 9300), 9300, true));
    EXPECT_TRUE(remote.addKnownAddressWithAddress(test::ipv4Address("10.0.0.1", 9301), 9301, true));
    // The unchecked append keeps whatever it is given.
    remote.addKnownAddressWithAddress(TunnexAddress(test::ipv4Address("10.0.0.1", 9300), 9300, true));

    std::vector<TunnexAddress> known = remote.knownAddresses();
    ASSERT_EQ(known.size(), 3u);
    EXPECT_FALSE(known[0].externalAddress());  // the first entry keeps its own flag
    EXPECT_EQ(known[1].port(), 9301);
    EXPECT_TRUE(known[1].externalAddress());
}

TEST(RemotePeer, ConcurrentAddsOfTheSameAddressesLeaveOneEntryEach) {
    TunnexRemotePeer remote;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (uint16_t port = 1; port <= 200; ++port)
                    remote.addKnownAddressWithAddress(test::ipv4Address("172.16.0.9", port), port, false);
            });
    }
    std::vector<TunnexAddress> known = remote.knownAddresses();
    std::set<uint16_t> ports;
    for (const TunnexAddress& address : known) ports.insert(address.port());
    EXPECT_EQ(known.size(), 200u);
    EXPECT_EQ(ports.size(), 200u);
}

TEST(RemotePeer, AddingAServiceRewritesAForeignUuidWithOneErrorLine) {
    TunnexRemotePeer remote;
    remote.setUUID("REMOTE-UUID");
    auto foreign = std::make_shared<FakeService>("ssh.box", "OTHER-UUID");
    auto own = std::make_shared<FakeService>("afp.box", "REMOTE-UUID");

    clearMemoryLog();
    remote.addService(foreign);
    EXPECT_EQ(foreign->uuid(), "REMOTE-UUID");
    EXPECT_EQ(memoryLogLines().size(), 1u);
    EXPECT_TRUE(memoryLogContains("Resetting uuid of service from 'OTHER-UUID' to 'REMOTE-UUID'"));

    clearMemoryLog();
    remote.addService(own);
    remote.addService(nullptr);
    EXPECT_TRUE(memoryLogLines().empty());

    EXPECT_TRUE(remote.containsServiceWithKey("ssh.box"));
    EXPECT_TRUE(remote.containsServiceWithKey("afp.box"));
    EXPECT_FALSE(remote.containsServiceWithKey(""));
    EXPECT_FALSE(remote.containsServiceWithKey("vnc.box"));
    // In key order, the same services the dictionary holds.
    auto services = remote.availableServices();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0], own);
    EXPECT_EQ(services[1], foreign);
    EXPECT_EQ(remote.serviceDictionary().at("ssh.box"), foreign);

    // Without a record UUID nothing is rewritten; a later service replaces one under its key.
    TunnexRemotePeer anonymous;
    auto keep = std::make_shared<FakeService>("ssh.box", "KEEP");
    anonymous.addService(foreign);
    anonymous.addService(keep);
    EXPECT_EQ(keep->uuid(), "KEEP");
    EXPECT_EQ(anonymous.serviceDictionary().at("ssh.box"), keep);
}

TEST(RemotePeer, RecentStartAttemptLastsNinetySeconds) {
    test::ManualClock clock;
    TunnexRemotePeer remote(clock.clock());
    EXPECT_EQ(remote.lastRemoteInitiationDate().secondsSince1970, clock.now());
    EXPECT_TRUE(remote.recentStartAttempt());
    clock.advance(90.0);
    EXPECT_TRUE(remote.recentStartAttempt());
    clock.advance(0.001);
    EXPECT_FALSE(remote.recentStartAttempt());
    remote.remoteStartInitiated();
    EXPECT_TRUE(remote.recentStartAttempt());
    clock.advance(90.5);
    EXPECT_FALSE(remote.recentStartAttempt());
}

TEST(RemotePeer, MergingTakesAddressSocketAndProxyByTheirRules) {
    auto receiverOwner = std::make_shared<int>(1), otherOwner = std::make_shared<int>(2);
    const sockaddr_storage oldProxy = test::ipv4Address("10.9.9.9", 8080);

    TunnexRemotePeer receiver;
    receiver.setName("kept name");
    receiver.setProxyAddress(oldProxy);
    receiver.setProxyPort(8080);
    receiver.setHasProxyAddress(true);
    receiver.setTunnelSocket(fakeSocket(receiverOwner));

    TunnexRemotePeer other;
    other.setName("newer name");
    other.setAddress(test::ipv4Address("203.0.113.7", 40000));
    other.setPort(40000);
    other.setHasPeerAddress(true);
    other.setProxyAddress(test::ipv4Address("10.1.1.1", 3128));
    other.setProxyPort(3128);  // not valid: the other has no proxy flag

    receiver.synchronizeWithPeer(&other);
    EXPECT_EQ(receiver.name(), "kept name");
    EXPECT_TRUE(sameBytes(receiver.address(), test::ipv4Address("203.0.113.7", 40000)));
    EXPECT_EQ(receiver.port(), 40000);
    EXPECT_TRUE(receiver.hasPeerAddress());
    EXPECT_FALSE(receiver.hasProxyAddress());
    EXPECT_TRUE(sameBytes(receiver.proxyAddress(), oldProxy));  // old bytes stay, marked invalid
    EXPECT_EQ(receiver.proxyPort(), 8080);
    EXPECT_EQ(receiver.tunnelSocket(), fakeSocket(receiverOwner));  // an empty socket clears nothing

    other.setHasProxyAddress(true);
    other.setTunnelSocket(fakeSocket(otherOwner));
    TunnexRemotePeer unnamed;
    unnamed.synchronizeWithPeer(&other);
    EXPECT_EQ(unnamed.name(), "newer name");
    EXPECT_TRUE(unnamed.hasProxyAddress());
    EXPECT_TRUE(sameBytes(unnamed.proxyAddress(), test::ipv4Address("10.1.1.1", 3128)));
    EXPECT_EQ(unnamed.proxyPort(), 3128);
    EXPECT_EQ(unnamed.tunnelSocket(), fakeSocket(otherOwner));

    // Nothing to merge from: nothing changes, and merging into itself cannot deadlock.
    unnamed.synchronizeWithPeer(nullptr);
    unnamed.synchronizeWithPeer(&unnamed);
    EXPECT_EQ(unnamed.port(), 40000);
}

TEST(RemotePeer, MergingAppendsNewAddressesAndServicesOnly) {
    TunnexRemotePeer receiver, other;
    receiver.setUUID("REMOTE-UUID");
    receiver.addKnownAddressWithAddress(test::ipv4Address("10.0.0.1", 1), 1, false);
    receiver.addKnownAddressWithAddress(test::ipv4Address("10.0.0.2", 2), 2, false);
    other.addKnownAddressWithAddress(test::ipv4Address("10.0.0.3", 3), 3, false);
    other.addKnownAddressWithAddress(test::ipv4Address("10.0.0.2", 2), 2, true);
    other.addKnownAddressWithAddress(test::ipv4Address("10.0.0.1", 9), 9, false);

    auto held = std::make_shared<FakeService>("ssh.box", "REMOTE-UUID");
    auto competing = std::make_shared<FakeService>("ssh.box", "OTHER");
    auto fresh = std::make_shared<FakeService>("afp.box", "OTHER");
    receiver.addService(held);
    other.addService(competing);
    other.addService(fresh);

    receiver.synchronizeWithPeer(&other);
    std::vector<TunnexAddress> known = receiver.knownAddresses();
    std::vector<uint16_t> ports;
    for (const auto& address : known) ports.push_back(address.port());
    EXPECT_EQ(ports, (std::vector<uint16_t>{1, 2, 3, 9}));
    EXPECT_FALSE(known[1].externalAddress());

    EXPECT_EQ(receiver.serviceDictionary().at("ssh.box"), held);
    EXPECT_EQ(competing->uuid(), "OTHER");
    EXPECT_EQ(receiver.serviceDictionary().at("afp.box"), fresh);
    EXPECT_EQ(fresh->uuid(), "REMOTE-UUID");
}

TEST(RemotePeer, MergingBothWaysAtOnceDoesNotDeadlock) {
    TunnexRemotePeer a, b;
    a.setUUID("A");
    b.setUUID("B");
    {
        std::jthread forward([&] {
            for (int i = 0; i < 300; ++i) {
                a.addKnownAddressWithAddress(test::ipv4Address("10.0.1.1", uint16_t(i)), uint16_t(i), false);
                a.synchronizeWithPeer(&b);
            }
        });
        std::jthread backward([&] {
            for (int i = 0; i < 300; ++i) {
                b.addService(std::make_shared<FakeService>("s" + std::to_string(i), "B"));
                b.synchronizeWithPeer(&a);
            }
        });
    }
    a.synchronizeWithPeer(&b);
    b.synchronizeWithPeer(&a);
    EXPECT_EQ(a.serviceDictionary().size(), 300u);
    EXPECT_EQ(b.knownAddresses().size(), 300u);
}

TEST(RemotePeer, TunnelQueueIsMadeOnceWithTheBundleAndUuidLabel) {
    auto remote = std::make_shared<TunnexRemotePeer>();
    remote->setUUID("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    std::vector<std::shared_ptr<SerialQueue>> seen(4);
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = remote->tunnelQueue(); });
    }
    ASSERT_NE(seen[0], nullptr);
    for (const auto& queue : seen) EXPECT_EQ(queue, seen[0]);
    EXPECT_EQ(remote->tunnelQueue(), seen[0]);
    EXPECT_EQ(seen[0]->label(), tunnexBundleIdentifier() + "_6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(tunnexBundleIdentifier(), "com.kelvaro.portweaver.daemon");

    // Work on the queue runs one item at a time, in order.
    std::vector<int> order;
    for (int i = 0; i < 50; ++i) seen[0]->async([&order, i] { order.push_back(i); });
    seen[0]->sync([] {});
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(RemotePeer, ResetStateForgetsOnlyTheAddressFlag) {
    TunnexRemotePeer remote;
    EXPECT_FALSE(remote.hasPeerAddress());
    EXPECT_FALSE(remote.hasProxyAddress());
    remote.setAddress(test::ipv4Address("198.51.100.4", 9300));
    remote.setHasPeerAddress(true);
    remote.resetState();
    EXPECT_FALSE(remote.hasPeerAddress());
    EXPECT_TRUE(sameBytes(remote.address(), test::ipv4Address("198.51.100.4", 9300)));
}

}  // namespace
}  // namespace kl

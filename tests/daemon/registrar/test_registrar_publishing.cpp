// The registrar publishing the services of a host whose tunnel is up: two real tunnel peers joined
// on loopback, a recording DNS-SD publisher, and the kernel's own list of listening sockets.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include "ForwardTestSupport.h"
#include "RegistrarTestSupport.h"
#include "daemon/FakeAccountClient.h"
#include "daemon/model/KLTNetService.h"
#include "daemon/registrar/KLTServiceRegistrar.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

const std::string kHostB = "uuid-of-b";

std::shared_ptr<KLTNetService> recordOf(const std::string& uuid, const std::string& type, const std::string& name = "Office",
                                        int32_t status = 1) {
    auto record = std::make_shared<KLTNetService>("remote.", type, name);
    record->setUuid(uuid);
    record->setStatus(status);
    return record;
}

class RegistrarPublishing : public test::ForwardPeers {
protected:
    void SetUp() override {
        test::ForwardPeers::SetUp();
        connect(false);
        publisher = std::make_shared<test::RecordingPublisher>([this](Task task) { loop.post(std::move(task)); });
        registrar = KLTServiceRegistrar::create({publisher, &loop, manager, std::string("uuid-of-this-machine"), &updates});
    }
    void TearDown() override {
        setTunnexServiceRegistrar(nullptr);
        registrar->unregisterServicesForUUID(kHostB);
        test::ForwardPeers::TearDown();
    }

    // The one publication there is.
    DnsSdService onlyPublication() {
        auto published = publisher->published();
        EXPECT_EQ(published.size(), 1u);
        return published.empty() ? DnsSdService{} : published.begin()->second;
    }
    bool listening(uint16_t port) { return !test::listeningAddresses(port).empty(); }

    MainLoop loop;
    Signal<const PWRemoteHostUpdate&> updates;
    std::shared_ptr<test::RecordingPublisher> publisher;
    std::shared_ptr<KLTServiceRegistrar> registrar;
};

TEST_F(RegistrarPublishing, PublishesOnALoopbackOnlyForwardAndBuildsItsURL) {
    registrar->broadcastService(recordOf(kHostB, "_ssh._tcp"));
    const auto service = onlyPublication();
    EXPECT_EQ(service.name, "\xF0\x9F\x9A\x80 Office");
    EXPECT_EQ(service.type, "_ssh._tcp");
    EXPECT_TRUE(service.localOnly);
    EXPECT_GE(service.port, 1024);

    auto holder = registrar->portHolderForUUID(kHostB, "_ssh._tcp");
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->localPort(), service.port);
    EXPECT_EQ(holder->remotePort(), 22);
    EXPECT_EQ(holder->peer(), peerA);
    // Both loopback families, nothing else.
    EXPECT_EQ(test::listeningAddresses(service.port), (std::set<std::string>{"127.0.0.1", "::1"}));

    const std::string port = std::to_string(service.port);
    EXPECT_EQ(registrar->URLStringForUUID(kHostB, "_ssh._tcp", std::nullopt), "ssh://127.0.0.1:" + port + "/");
    EXPECT_EQ(registrar->URLStringForUUID(kHostB, "_ssh._tcp", "ann"), "ssh://ann@127.0.0.1:" + port + "/");
    EXPECT_EQ(registrar->URLStringForUUID("uuid-of-nobody", "_ssh._tcp", "ann"), std::nullopt);

    // avahi's answer (after a collision, another name) becomes the registered name.
    publisher->answer(publisher->published().begin()->first, DnsSdPublishEvent::Registered, "\xF0\x9F\x9A\x80 Office #2");
    ASSERT_TRUE(loop.runUntil([&] { return holder->registeredName() == "\xF0\x9F\x9A\x80 Office #2"; }, 5s));
}

TEST_F(RegistrarPublishing, HomeSharingIsPublishedWithoutAURL) {
    registrar->broadcastService(recordOf(kHostB, "_home-sharing._tcp"));
    EXPECT_EQ(onlyPublication().type, "_home-sharing._tcp");
    EXPECT_EQ(registrar->URLStringForUUID(kHostB, "_home-sharing._tcp", "ann"), std::nullopt);
}

TEST_F(RegistrarPublishing, RecordsThatAreNeverPublished) {
    for (const auto& record : {recordOf("uuid-of-this-machine", "_ssh._tcp"), recordOf(kHostB, "_smb._tcp"),
                               recordOf(kHostB, "_ftp._tcp"), recordOf(kHostB, "_echo._tcp"), recordOf(kHostB, "")})
        registrar->broadcastService(record);
    registrar->broadcastService(std::shared_ptr<KLTNetService>());
    EXPECT_TRUE(publisher->published().empty());
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), 1024);
}

TEST_F(RegistrarPublishing, RepeatedAnnouncementsReplaceThePublicationAndItsPort) {
    auto record = recordOf(kHostB, "_rfb._tcp");
    registrar->broadcastService(record);
    const uint16_t first = onlyPublication().port;
    for (int i = 0; i < 5; ++i) registrar->broadcastService(record);
    const uint16_t last = onlyPublication().port;
    EXPECT_NE(first, last);
    EXPECT_FALSE(listening(first));
    EXPECT_TRUE(listening(last));
    EXPECT_EQ(peerA->serviceListenerCount(), 1u);
}

TEST_F(RegistrarPublishing, HostListUpdatesPublishAndWithdraw) {
    registrar->listenForServiceUpdates();
    PWRemoteHostUpdate update;
    auto ssh = recordOf(kHostB, "_ssh._tcp"), vnc = recordOf(kHostB, "_rfb._tcp"), afp = recordOf(kHostB, "_afpovertcp._tcp");
    update.added = {{ssh->serviceKey(), ssh}, {vnc->serviceKey(), vnc}};
    update.existing = {{afp->serviceKey(), afp}};
    updates.emit(update);
    EXPECT_EQ(publisher->published().size(), 3u);
    const uint16_t vncPort = registrar->localPortForUUID(kHostB, "_rfb._tcp");

    // Removed, and existing with status 0: both withdrawn, ports closed.
    PWRemoteHostUpdate next;
    next.removed = {{vnc->serviceKey(), vnc}};
    auto afpGone = recordOf(kHostB, "_afpovertcp._tcp", "Office", 0);
    next.existing = {{afpGone->serviceKey(), afpGone}, {ssh->serviceKey(), ssh}};
    updates.emit(next);
    ASSERT_EQ(publisher->published().size(), 1u);
    EXPECT_NE(registrar->portHolderForUUID(kHostB, "_ssh._tcp"), nullptr);
    EXPECT_FALSE(listening(vncPort));
    EXPECT_EQ(peerA->serviceListenerCount(), 1u);

    // After request 27 updates are ignored; what was published stays.
    registrar->ignoreServiceUpdates();
    updates.emit(update);
    EXPECT_EQ(publisher->published().size(), 1u);
}

TEST_F(RegistrarPublishing, TheHostGoingAwayWithdrawsEverythingOfIt) {
    registrar->broadcastService(recordOf(kHostB, "_ssh._tcp"));
    registrar->broadcastService(recordOf(kHostB, "_daap._tcp"));
    ASSERT_EQ(registrar->portHoldersForUUID(kHostB).size(), 2u);
    const uint16_t port = registrar->localPortForUUID(kHostB, "_daap._tcp");
    registrar->unregisterServicesForUUID(kHostB);
    EXPECT_TRUE(publisher->published().empty());
    EXPECT_TRUE(registrar->portHoldersForUUID(kHostB).empty());
    EXPECT_FALSE(listening(port));
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);
}

TEST_F(RegistrarPublishing, TheTunnelManagerPublishesOnConnectAndWithdrawsOnDisconnect) {
    setTunnexServiceRegistrar(registrar);
    for (const auto& type : {"_ssh._tcp", "_rfb._tcp", "_smb._tcp"}) {
        auto record = recordOf(kHostB, type);
        record->setServerID(Value(int64_t(42)));
        manager->registerRemoteWithService(record);
    }
    manager->registerServicesForUUID(kHostB);
    EXPECT_EQ(publisher->published().size(), 2u);
    EXPECT_EQ(peerA->serviceListenerCount(), 2u);

    // The other side ends the tunnel (its daemon quits): this side hears it and withdraws.
    peerB->disconnectFromPeers();
    EXPECT_TRUE(test::waitFor([&] { return publisher->published().empty(); }, 20s));
    EXPECT_TRUE(registrar->portHoldersForUUID(kHostB).empty());
}

TEST_F(RegistrarPublishing, SigningOutEndsTheAccountsTunnelsAndEveryPublication) {
    setTunnexServiceRegistrar(registrar);
    test::FakeAccountClient client;
    registrar->followSignOuts(client);
    registrar->broadcastService(recordOf(kHostB, "_ssh._tcp"));
    const uint16_t port = registrar->localPortForUUID(kHostB, "_ssh._tcp");
    ASSERT_NE(port, 0);
    registrar->broadcastService(recordOf("uuid-of-nobody", "_rfb._tcp"));  // no peer yet: retried
    ASSERT_EQ(registrar->pendingBroadcastCount(), 1u);

    // Going offline is no sign-out: everything stays.
    client.signInStateDidChange.emit(PWRegistrarSignedIn, PWRegistrarSignedInOffline);
    EXPECT_EQ(publisher->published().size(), 1u);
    EXPECT_NE(manager->peerForUUID(kHostB), nullptr);

    client.signInStateDidChange.emit(PWRegistrarSignedInOffline, PWRegistrarSignedOut);
    EXPECT_TRUE(publisher->published().empty());
    EXPECT_TRUE(registrar->portHoldersForUUID(kHostB).empty());
    EXPECT_EQ(registrar->pendingBroadcastCount(), 0u);
    EXPECT_FALSE(listening(port));
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);
    // The tunnel itself is gone, not only what was published over it.
    EXPECT_EQ(manager->peerForUUID(kHostB), nullptr);
    EXPECT_TRUE(test::waitFor([&] { return peerA->connectionStatus() == TunnexTunnelDisconnected; }, 10s));
}

TEST_F(RegistrarPublishing, ADnsSdFailureClosesTheForwardItOpened) {
    // Refused at once.
    publisher->refuse = true;
    registrar->broadcastService(recordOf(kHostB, "_ssh._tcp"));
    EXPECT_EQ(registrar->portHolderForUUID(kHostB, "_ssh._tcp"), nullptr);
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);

    // Refused later by the daemon.
    publisher->refuse = false;
    registrar->broadcastService(recordOf(kHostB, "_rfb._tcp"));
    const uint16_t port = registrar->localPortForUUID(kHostB, "_rfb._tcp");
    ASSERT_NE(port, 0);
    publisher->answer(publisher->published().begin()->first, DnsSdPublishEvent::Failed, "");
    ASSERT_TRUE(loop.runUntil([&] { return registrar->portHolderForUUID(kHostB, "_rfb._tcp") == nullptr; }, 5s));
    EXPECT_FALSE(listening(port));
    EXPECT_EQ(peerA->serviceListenerCount(), 0u);
}

TEST_F(RegistrarPublishing, SixteenTakenPortsGiveUpAndUseUpSixteenNumbers) {
    // Sixteen consecutive ports held by listeners of this test on every address.
    std::vector<int> held;
    uint16_t base = 0;
    for (uint16_t candidate = 40000; candidate < 60000 && !base; candidate = uint16_t(candidate + 17)) {
        for (int fd : held) ::close(fd);
        held.clear();
        for (uint16_t port = candidate; port < candidate + 16; ++port) {
            int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
            int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(port);
            address.sin6_addr = in6addr_any;
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
                ::close(fd);
                break;
            }
            held.push_back(fd);
        }
        if (held.size() == 16) base = candidate;
    }
    ASSERT_NE(base, 0) << "no 16 free ports in a row";
    while (registrar->nextHopefullyAvailablePortAssignment() != base - 1) {
    }

    registrar->broadcastService(recordOf(kHostB, "_ssh._tcp"));
    EXPECT_TRUE(publisher->published().empty());
    EXPECT_EQ(registrar->portHolderForUUID(kHostB, "_ssh._tcp"), nullptr);
    EXPECT_EQ(registrar->nextHopefullyAvailablePortAssignment(), base + 16);
    for (int fd : held) ::close(fd);
}

TEST_F(RegistrarPublishing, WithoutATunnelPeerTheMainLoopRetriesUntilWithdrawn) {
    auto record = recordOf("uuid-of-nobody", "_ssh._tcp");
    clearMemoryLog();
    registrar->broadcastService(record);
    EXPECT_EQ(registrar->pendingBroadcastCount(), 1u);
    auto attempts = [] {
        size_t count = 0;
        for (const auto& line : memoryLogLines()) count += line.find("using registeredTunnexPeer") != std::string::npos;
        return count;
    };
    ASSERT_TRUE(loop.runUntil([&] { return attempts() >= 2; }, 5s));
    EXPECT_EQ(registrar->pendingBroadcastCount(), 1u);

    // Each way of ending it stops the retries.
    registrar->unbroadcastService(record);
    EXPECT_EQ(registrar->pendingBroadcastCount(), 0u);
    registrar->broadcastService(record);
    registrar->unregisterServicesForUUID("uuid-of-nobody");
    EXPECT_EQ(registrar->pendingBroadcastCount(), 0u);
    registrar->broadcastService(record);
    registrar->cancelPendingBroadcasts();
    EXPECT_EQ(registrar->pendingBroadcastCount(), 0u);
    const size_t before = attempts();
    loop.runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(attempts(), before);
    EXPECT_TRUE(publisher->published().empty());
}

TEST_F(RegistrarPublishing, CallsFromSeveralThreadsLeaveOnePortPerPublication) {
    // Tunnel threads and the main loop announce and withdraw the same services at once.
    const std::vector<std::shared_ptr<KLTNetService>> records{recordOf(kHostB, "_ssh._tcp"), recordOf(kHostB, "_rfb._tcp"),
                                                              recordOf(kHostB, "_daap._tcp")};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const auto& record = records[size_t(t + i) % records.size()];
                if ((t + i) % 5 == 4)
                    registrar->unregisterServicesForUUID(kHostB);
                else if ((t + i) % 3 == 2)
                    registrar->unbroadcastService(record);
                else
                    registrar->broadcastService(record);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    registrar->broadcastService(records[0]);

    const auto holders = registrar->portHoldersForUUID(kHostB);
    const auto published = publisher->published();
    ASSERT_EQ(published.size(), holders.size());
    EXPECT_EQ(peerA->serviceListenerCount(), holders.size());
    for (const auto& holder : holders) {
        ASSERT_TRUE(published.count(holder->dnsReference()));
        EXPECT_EQ(published.at(holder->dnsReference()).port, holder->localPort());
        EXPECT_TRUE(listening(holder->localPort()));
    }
}

}  // namespace
}  // namespace kl

// The tunnel manager's tables on a fake clock: registry, connect queue, status de-duplication,
// the 90-second time-out and the 360-second pruning, and the channel requests.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "SockcoreTestSupport.h"
#include "TunnelTestSupport.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/manager/TunnexServiceRecord.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/sockcore/Network.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

class StatusRecorder : public TunnexRemoteManagerDelegate {
public:
    void reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus status) override {
        std::lock_guard lock(mutex_);
        reports_.push_back({uuid, int(status)});
    }
    void reportTimeoutForUUID(const std::string& uuid) override {
        std::lock_guard lock(mutex_);
        timeouts_.push_back(uuid);
    }
    std::vector<std::pair<std::string, int>> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    // The reports for one UUID (work of an earlier test may still report other UUIDs).
    std::vector<int> reportsFor(const std::string& uuid) {
        std::vector<int> statuses;
        for (const auto& [reported, status] : reports()) {
            if (reported == uuid) statuses.push_back(status);
        }
        return statuses;
    }
    size_t count(const std::string& uuid) { return reportsFor(uuid).size(); }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, int>> reports_;
    std::vector<std::string> timeouts_;
};

class Service : public TunnexServiceRecord {
public:
    Service(std::string key, std::string host, std::string name = "host")
        : key_(std::move(key)), host_(std::move(host)), name_(std::move(name)) {}
    std::string serviceKey() const override { return key_; }
    std::string uuid() const override {
        std::lock_guard lock(mutex_);
        return uuid_.empty() ? host_ : uuid_;
    }
    void setUuid(std::string uuid) override {
        std::lock_guard lock(mutex_);
        uuid_ = std::move(uuid);
    }
    std::string hostUUID() const override { return host_; }
    std::string serverID() const override { return "42"; }
    std::string name() const override { return name_; }
    std::string type() const override { return "_ssh._tcp"; }

private:
    std::string key_, host_, name_;
    mutable std::mutex mutex_;
    std::string uuid_;
};

class Connector : public TunnexServiceConnectorBase {
public:
    explicit Connector(std::string key) : key_(std::move(key)) {}
    void willEndRemoteService() override {}
    std::shared_ptr<TunnexPeer> peer() const override { return nullptr; }
    std::shared_ptr<TunnexRemotePeer> remotePeer() const override { return nullptr; }
    bool hasRemoteService() const override { return false; }
    std::string serviceKey() const override { return key_; }
    void setServiceKey(std::string key) override { key_ = std::move(key); }
    std::string hostUUID() const override { return ""; }
    void setHostUUID(std::string) override {}
    std::string domain() const override { return ""; }
    void setDomain(std::string) override {}
    std::string type() const override { return ""; }
    void setType(std::string) override {}
    std::string name() const override { return ""; }
    void setName(std::string) override {}
    std::string serverID() const override { return ""; }
    void setServerID(std::string) override {}
    uint16_t localPort() const override { return 0; }
    void setLocalPort(uint16_t) override {}
    uint16_t remotePort() const override { return 22; }
    void setRemotePort(uint16_t) override {}

private:
    std::string key_;
};

class RemoteManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TunnexPeer::initialize();
        manager = TunnexRemoteManager::create(clock.clock());
        manager->setDelegate(recorder);
        setTunnexPeerManager(manager);
    }
    void TearDown() override {
        TunnexPeer::setRegisteredTunnexPeer(nullptr);
        setTunnexPeerManager(nullptr);
        manager->disconnectFromAllPeers();
        manager->connectivityChanged();  // stops the life check before the manager goes
    }
    std::shared_ptr<TunnexPeer> peer() { return TunnexPeer::initUsingEncryption(true, 0, clock.clock()); }
    std::shared_ptr<TunnexRemotePeer> remote(const std::string& uuid) {
        manager->registerRemoteWithName("host " + uuid, uuid, "42", "key-" + uuid);
        return manager->remotePeerForUUID(uuid);
    }

    test::ManualClock clock;
    std::shared_ptr<StatusRecorder> recorder = std::make_shared<StatusRecorder>();
    std::shared_ptr<TunnexRemoteManager> manager;
};

TEST_F(RemoteManagerTest, RegistryKeepsOneRecordPerUUIDAndTheLatestHostPerServiceKey) {
    manager->registerRemoteWithName("a", "uuid-a", "1", "shared");
    auto first = manager->remotePeerForUUID("uuid-a");
    ASSERT_TRUE(first);
    manager->registerRemoteWithName("b", "uuid-b", "2", "shared");
    EXPECT_EQ(manager->remotePeerForServiceKey("shared"), manager->remotePeerForUUID("uuid-b"));
    EXPECT_EQ(manager->remotePeerForUUID("uuid-a"), first);

    // Any missing string changes nothing.
    manager->registerRemoteWithName("", "uuid-c", "3", "k");
    manager->registerRemoteWithName("c", "uuid-c", "", "k");
    EXPECT_FALSE(manager->remotePeerForUUID("uuid-c"));
    EXPECT_FALSE(manager->remotePeerForServiceKey("k"));

    // A second service for a known host keeps the record and updates it.
    manager->registerRemoteWithService(std::make_shared<Service>("ssh", "uuid-a", "renamed"));
    EXPECT_EQ(manager->remotePeerForUUID("uuid-a"), first);
    EXPECT_EQ(first->name(), "renamed");
    EXPECT_EQ(first->serverID(), "42");
    EXPECT_TRUE(first->containsServiceWithKey("ssh"));

    // A record about a known machine is merged into the registered one, which is returned.
    auto learned = std::make_shared<TunnexRemotePeer>(clock.clock());
    learned->setUUID("uuid-a");
    learned->addService(std::make_shared<Service>("afp", "uuid-a"));
    EXPECT_EQ(manager->updateRegistrationWithPeer(learned), first);
    EXPECT_TRUE(first->containsServiceWithKey("afp"));
    EXPECT_FALSE(manager->updateRegistrationWithPeer(nullptr));
    EXPECT_FALSE(manager->updateRegistrationWithPeer(std::make_shared<TunnexRemotePeer>()));
}

TEST_F(RemoteManagerTest, ConcurrentRegistrationsOfANewMachineMakeOneRecord) {
    std::vector<std::shared_ptr<TunnexRemotePeer>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            manager->registerRemoteWithName("n", "uuid-race", "1", "key-" + std::to_string(i));
            seen[i] = manager->remotePeerForServiceKey("key-" + std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& record : seen) EXPECT_EQ(record, manager->remotePeerForUUID("uuid-race"));
}

TEST_F(RemoteManagerTest, ConnectRequestsQueueOnceAndAreServedOnePerPongedIdlePeer) {
    remote("uuid-1");
    remote("uuid-2");
    manager->connectToRemoteUUID("uuid-1", nullptr);
    manager->connectToRemoteUUID("uuid-1", nullptr);
    manager->connectToRemoteUUID("uuid-2", nullptr);
    manager->connectToRemoteUUID(TunnexPeer::localMachineUUID(), nullptr);  // this machine: ignored
    manager->connectToRemoteUUID("", nullptr);
    EXPECT_EQ(manager->queuedConnectionCount(), 2u);
    EXPECT_TRUE(manager->queueingConnectionForUUID("UUID-1"));
    EXPECT_EQ(manager->connectionStatusForUUID("uuid-1"), TunnexTunnelDisconnected);

    // A registered peer that has had no pong serves nothing.
    auto registered = peer();
    TunnexPeer::setRegisteredTunnexPeer(registered);
    manager->fulfillNextQueuedConnection();
    EXPECT_EQ(manager->queuedConnectionCount(), 2u);

    // The first pong serves the head only; the peer is then busy inviting.
    registered->setPongCounter(1);
    manager->fulfillNextQueuedConnection();
    EXPECT_EQ(manager->queuedConnectionCount(), 1u);
    EXPECT_EQ(manager->peerForUUID("uuid-1"), registered);
    EXPECT_EQ(registered->connectionStatus(), TunnexTunnelInviting);
    EXPECT_TRUE(manager->queueingConnectionForUUID("uuid-2"));
    manager->fulfillNextQueuedConnection();
    EXPECT_EQ(manager->queuedConnectionCount(), 1u);

    // A request for a remote whose peer is connecting does not queue again.
    manager->connectToRemoteUUID("uuid-1", nullptr);
    EXPECT_EQ(manager->queuedConnectionCount(), 1u);
    EXPECT_EQ(manager->connectionStatusForUUID("uuid-1"), TunnexTunnelInviting);
}

// A connect action whose attempt ends at once may, through its delegate, queue and ask for the
// next request: that must neither deadlock on the queue nor be lost, and the next request starts
// on the same registered peer once the first has let it go.
TEST_F(RemoteManagerTest, AConnectActionMayQueueAndStartTheNextRequest) {
    auto registered = peer();
    registered->setPongCounter(1);
    TunnexPeer::setRegisteredTunnexPeer(registered);
    std::vector<std::string> started;
    manager->queueTunnexConnection({[&](const std::shared_ptr<TunnexPeer>& served) {
                                        EXPECT_EQ(served, registered);
                                        started.push_back("uuid-1");
                                        manager->queueTunnexConnection(
                                            {[&](const std::shared_ptr<TunnexPeer>&) { started.push_back("uuid-2"); },
                                             "uuid-2"});
                                        EXPECT_TRUE(manager->queueingConnectionForUUID("uuid-2"));
                                        manager->fulfillNextQueuedConnection();
                                    },
                                    "uuid-1"});
    manager->fulfillNextQueuedConnection();
    EXPECT_EQ(started, (std::vector<std::string>{"uuid-1", "uuid-2"}));
    EXPECT_EQ(manager->queuedConnectionCount(), 0u);
}

// Two threads that each recycle the registered peer (a time-out tick and a hole-punch attempt)
// make one successor, and the registration's ping socket is that successor's own.
TEST_F(RemoteManagerTest, RecyclingTheRegisteredPeerFromTwoThreadsMakesOneSuccessor) {
    TunnexPeer::setGlobalServerHost("127.0.0.1");
    TunnexPeer::setRegisteredTunnexPeer(peer());
    for (int round = 0; round < 20; ++round) {
        auto current = TunnexPeer::registeredTunnexPeer();
        std::shared_ptr<TunnexPeer> first, second;
        std::thread one([&] { first = TunnexPeer::recycleRegisteredTunnexPeer(current); });
        std::thread two([&] { second = TunnexPeer::recycleRegisteredTunnexPeer(current); });
        one.join();
        two.join();
        ASSERT_NE(bool(first), bool(second)) << "round " << round;
        auto successor = first ? first : second;
        EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), successor);
        auto socket = TunnexPeer::activePingSocket();
        ASSERT_TRUE(socket);
        EXPECT_EQ(socket, successor->handoffSocket());
        EXPECT_EQ(socket->tag(), TunnexPeer::kPingSocketTag);
        EXPECT_NE(current->handoffSocket(), socket);
    }
}

TEST_F(RemoteManagerTest, StatusChangesAreReportedOnceEach) {
    manager->dispatchReportConnectionStatus(TunnexTunnelDisconnected, "u");
    manager->dispatchReportConnectionStatus(TunnexTunnelDisconnected, "u");
    ASSERT_TRUE(test::waitFor([&] { return recorder->count("u") >= 1; }));
    manager->dispatchReportConnectionStatus(TunnexTunnelConnecting, "u");
    ASSERT_TRUE(test::waitFor([&] { return recorder->count("u") >= 2; }));
    manager->dispatchReportConnectionStatus(TunnexTunnelDisconnected, "u");
    ASSERT_TRUE(test::waitFor([&] { return recorder->count("u") >= 3; }));
    manager->dispatchReportConnectionStatus(TunnexTunnelDisconnected, "");
    std::this_thread::sleep_for(100ms);  // room for a wrong extra report to arrive
    EXPECT_EQ(recorder->reportsFor("u"), (std::vector<int>{0, 3, 0}));
    EXPECT_EQ(recorder->count(""), 0u);

    // The immediate report passes any value on, named or not.
    manager->reportConnectionStatus(TunnexTunnelStatus(7), "u");
    EXPECT_EQ(recorder->reportsFor("u").back(), 7);
}

TEST_F(RemoteManagerTest, AttemptTimesOutAfterNinetySecondsNotAtNinety) {
    auto attempt = peer();
    auto record = remote("uuid-t");
    attempt->setStunPeer(record);
    manager->registerTimeoutForPeer(attempt);
    manager->assignPeer(attempt, "uuid-t");

    clock.advance(90.0);
    manager->timeoutRegisteredPeers();
    EXPECT_EQ(manager->peerForUUID("uuid-t"), attempt);
    EXPECT_EQ(manager->registeredTimeoutPeers().size(), 1u);
    EXPECT_EQ(recorder->count("uuid-t"), 0u);

    clock.advance(0.001);
    manager->timeoutRegisteredPeers();
    ASSERT_GE(recorder->count("uuid-t"), 1u);  // the time-out's own report is immediate
    EXPECT_EQ(recorder->reportsFor("uuid-t").front(), 0);
    EXPECT_FALSE(manager->peerForUUID("uuid-t"));
    EXPECT_TRUE(manager->registeredTimeoutPeers().empty());
    EXPECT_EQ(attempt->connectionStatus(), TunnexTunnelDisconnected);
}

TEST_F(RemoteManagerTest, CompletedAndEndedPeersLeaveTheTimeoutSet) {
    auto record = remote("uuid-c");
    auto done = peer();
    manager->registerTimeoutForPeer(done);
    done->setStunPeer(record);
    manager->peerDidConnectToRemote(done, record);
    auto failed = peer();
    manager->registerTimeoutForPeer(failed);
    manager->peerFailedToConnectToRemote(failed, record);
    EXPECT_TRUE(manager->registeredTimeoutPeers().empty());
}

TEST_F(RemoteManagerTest, TransactionsArePrunedAfterThreeHundredSixtySeconds) {
    auto record = remote("uuid-p");
    auto kept = manager->nextTransactionWithPeer(peer(), record);  // stamps the record's start
    auto orphan = std::make_shared<TunnexTransaction>();
    orphan->setTransactionId(-5);
    manager->registerTransaction(orphan);
    EXPECT_TRUE(manager->isOriginatorForTransactionId(kept->transactionId()));
    // Without housekeeping on a timer, every transaction (and what it holds) stayed for good.
    EXPECT_TRUE(manager->housekeepingRunning());

    clock.advance(360.0);
    manager->performHousekeeping();
    EXPECT_EQ(manager->transactionForTransactionId(kept->transactionId()), kept);
    EXPECT_FALSE(manager->transactionForTransactionId(-5));  // no record: pruned at once

    clock.advance(0.001);
    manager->performHousekeeping();
    EXPECT_FALSE(manager->transactionForTransactionId(kept->transactionId()));
}

// Followed invitations are remembered so a repeated one is not followed twice; without pruning
// the record of every invitation the process ever followed stayed for good.
TEST_F(RemoteManagerTest, FollowedInvitationsArePrunedWithTheTransactions) {
    auto invited = peer();
    auto invitation = [](uint8_t transactionId) {
        Bytes bytes(87, 0);
        bytes[0] = 1;
        bytes[5] = transactionId;
        bytes[13] = 1;
        return bytes;
    };
    TunnexPeer::forgetInvitations(std::numeric_limits<double>::max(), {});
    // Invitations are handled on the peer's queue.
    const auto receive = [&](const Bytes& bytes) { invited->queue().sync([&] { invited->receivedInvitation(bytes); }); };
    receive(invitation(71));
    clock.advance(200.0);
    receive(invitation(72));
    receive(invitation(72));
    EXPECT_EQ(TunnexPeer::followedInvitationCount(), 2u);

    clock.advance(160.001);  // 71 is older than a transaction's lifetime, 72 is not
    manager->performHousekeeping();
    EXPECT_EQ(TunnexPeer::followedInvitationCount(), 1u);
    clock.advance(200.0);
    manager->performHousekeeping();
    EXPECT_EQ(TunnexPeer::followedInvitationCount(), 0u);
}

TEST_F(RemoteManagerTest, LifeCheckRunsWhilePeersAreMappedAsOfTheLastReport) {
    auto connected = peer();
    manager->assignPeer(connected, "uuid-l");
    manager->assignPeer(connected, "uuid-l2");
    EXPECT_FALSE(manager->lifeCheckRunning());
    manager->reportConnectionStatus(TunnexTunnelConnected, "uuid-l");
    EXPECT_TRUE(manager->lifeCheckRunning());
    EXPECT_EQ(manager->activePeers().size(), 2u);
    EXPECT_EQ(manager->uuidsForPeer(connected).size(), 2u);
    EXPECT_TRUE(memoryLogContains("has more than one associated UUID"));

    manager->deletePeer(connected);
    EXPECT_TRUE(manager->lifeCheckRunning());  // not by the removal itself
    manager->reportConnectionStatus(TunnexTunnelDisconnected, "uuid-l");
    EXPECT_FALSE(manager->lifeCheckRunning());
}

// A plug that only counts what the core tells it.
class QuietPlug : public Plug {
public:
    int closing(const char*, int, int) override { return 1; }
    int receive(int, const char*, int) override { return 1; }
};

TEST_F(RemoteManagerTest, StaleAndMismatchedChannelRequestsAreDroppedWithTheirLocalConnections) {
    auto record = remote("uuid-r");
    record->addService(std::make_shared<Service>("key-r", "uuid-r"));
    auto other = std::make_shared<TunnexRemotePeer>(clock.clock());
    other->setUUID("uuid-other");
    auto connector = std::make_shared<Connector>("key-r");

    struct Waiting {
        int outer;
        std::shared_ptr<QuietPlug> plug = std::make_shared<QuietPlug>();
        SocketPtr socket;
    };
    auto waiting = [&] {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Waiting w{pair[0], std::make_shared<QuietPlug>(), nullptr};
        w.socket = test::underCoreLock([&] { return sk_register(pair[1], w.plug); });  // accepted and frozen, as a forward holds it
        return std::make_pair(w, pair[1]);
    };
    auto [stale, staleFd] = waiting();
    auto [mismatched, mismatchedFd] = waiting();
    auto [fresh, freshFd] = waiting();

    std::atomic<int> created{0};
    auto request = [&](const std::shared_ptr<TunnexRemotePeer>& remotePeer, int fd) {
        auto made = std::make_shared<TunnexChannelRequest>(connector, nullptr, remotePeer, 22, "localhost", fd,
                                                           clock.clock());
        made->setCreateChannelBlock(
            [&](const std::shared_ptr<TunnexChannelRequest>&, TunnexChannelRequest::ChannelBlockDone) { ++created; });
        manager->addChannelRequest(made);
        return made;
    };
    request(record, staleFd);
    clock.advance(91.0);
    request(other, mismatchedFd);
    request(record, freshFd);
    ASSERT_EQ(manager->channelRequestsForServiceKey("key-r").size(), 3u);

    manager->fulfillQueuedChannelRequestsForUUID("uuid-r");
    EXPECT_TRUE(manager->channelRequestsForServiceKey("key-r").empty());
    ASSERT_TRUE(test::waitFor([&] { return created.load() == 1; }));

    // The dropped requests' clients see their connections end; the served one stays open.
    auto ended = [](int fd) {
        pollfd event{fd, POLLIN, 0};
        char byte;
        return ::poll(&event, 1, 5000) == 1 && ::read(fd, &byte, 1) == 0;
    };
    EXPECT_TRUE(ended(stale.outer));
    EXPECT_TRUE(ended(mismatched.outer));
    pollfd event{fresh.outer, POLLIN, 0};
    EXPECT_EQ(::poll(&event, 1, 50), 0);
    test::underCoreLock([&] { return fresh.socket->close(); });
    for (int fd : {stale.outer, mismatched.outer, fresh.outer}) ::close(fd);
}

// A request may be dropped where a client is accepted, in the core's result pass: the
// connection it holds is still closed, from outside the pass.
TEST_F(RemoteManagerTest, ARequestDroppedInAResultPassStillClosesItsConnection) {
    auto connector = std::make_shared<Connector>("key-d");
    auto plug = std::make_shared<test::RecordingPlug>();
    plug->onAccept = [&](int fd) {
        auto dropped = std::make_shared<TunnexChannelRequest>(connector, nullptr, nullptr, 22, "localhost", fd,
                                                              clock.clock());
        dropped->setLocalSocket(sk_register(fd, nullptr));
        return 0;
    };
    auto listener = test::underCoreLock([&] { return sk_newlistener("127.0.0.1", 0, plug, true, ADDRTYPE_IPV4); });
    int client = test::plainConnect(AF_INET, test::portOf(sk_ossocket(listener)));
    ASSERT_GE(client, 0);
    pollfd event{client, POLLIN, 0};
    char byte;
    EXPECT_TRUE(::poll(&event, 1, 10000) == 1 && ::read(client, &byte, 1) == 0) << "the client sees its end";
    ::close(client);
    test::underCoreLock([&] { listener->close(); });
}

// The ping path reads the manager while holding the ping-socket lock; the tick recycles the
// registered peer (taking that lock) for a peer it times out. Neither may wait on the other.
TEST_F(RemoteManagerTest, PingAndTimeoutTickDoNotDeadlock) {
    TunnexPeer::setGlobalServerHost("127.0.0.1");
    std::atomic<bool> stop{false};
    std::thread ping([&] {
        while (!stop) {
            std::lock_guard lock(TunnexPeer::pingSocketLock());
            (void)manager->activePeers();
        }
    });
    for (int round = 0; round < 20; ++round) {
        auto registered = peer();
        TunnexPeer::setRegisteredTunnexPeer(registered);
        manager->registerTimeoutForPeer(registered);
        manager->assignPeer(registered, "uuid-s");
        clock.advance(91.0);
        manager->timeoutRegisteredPeers();
        EXPECT_NE(TunnexPeer::registeredTunnexPeer(), registered);  // recycled onto a fresh peer
    }
    stop = true;
    ping.join();
    EXPECT_FALSE(manager->peerForUUID("uuid-s"));
}

}  // namespace
}  // namespace kl

// Connection set-up of a tunnel peer: the refusals of a connect request, the sealed request that
// reaches the rendezvous stand-in with its status report, the connection handles, the outcomes and
// the status queries.
#include <gtest/gtest.h>

#include "PeerTestSupport.h"
#include "StandinProcess.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/channel/TunnexSocketImpl.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Reports = std::vector<std::pair<std::string, TunnexTunnelStatus>>;

class RecordingProgress : public TunnexPeerProgressDelegate {
public:
    void connectStage(const std::string& name, float percent, int32_t stage) override {
        std::lock_guard lock(mutex);
        stages.push_back(name + " " + std::to_string(stage) + " " + std::to_string(percent));
    }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return stages;
    }
    std::mutex mutex;
    std::vector<std::string> stages;
};

class Connect : public ::testing::Test {
protected:
    void SetUp() override {
        setTunnexPeerManager(manager);
        setLoggingLevel(kKLTLoggingLevelDebug);
        clearMemoryLog();
        peer = TunnexPeer::init();
        peer->setPrivateKey(test::bytesFromHex(test::kPeerKeyHex));
        peer->setDelegate(delegate);
        peer->setProgressDelegate(progress);
    }
    void TearDown() override {
        peer->cancelRegistrationWithServer(true);
        setTunnexPeerManager(nullptr);
        setLoggingLevel(kKLTLoggingLevelInfo);
    }
    static std::shared_ptr<TunnexRemotePeer> remote(const std::string& uuid, const std::string& serverId) {
        auto record = std::make_shared<TunnexRemotePeer>();
        record->setUUID(uuid);
        record->setServerID(serverId);
        return record;
    }

    std::shared_ptr<test::RecordingManager> manager = std::make_shared<test::RecordingManager>();
    std::shared_ptr<test::RecordingPeerDelegate> delegate = std::make_shared<test::RecordingPeerDelegate>();
    std::shared_ptr<RecordingProgress> progress = std::make_shared<RecordingProgress>();
    std::shared_ptr<TunnexPeer> peer;
};

TEST_F(Connect, RefusedRequestsLeaveThePeerDisconnected) {
    // Nothing to connect to: no transaction, no time-out, no outcome, nothing reported.
    peer->setConnectionStatus(TunnexTunnelQueueing);
    peer->connectToRemotePeer(nullptr);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    EXPECT_TRUE(memoryLogContains("connectToRemotePeer: - remote peer instance is nil"));
    EXPECT_EQ(manager->transactionsMade.load() + manager->timeoutsRegistered.load(), 0);

    // No UUID: the transaction and the time-out are made first, but no outcome follows.
    peer->setConnectionStatus(TunnexTunnelQueueing);
    peer->connectToRemotePeer(remote("", "5"));
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    EXPECT_EQ(manager->transactionsMade.load(), 1);
    EXPECT_EQ(manager->timeoutsRegistered.load(), 1);
    EXPECT_EQ(delegate->failed.load(), 0);
    EXPECT_TRUE(manager->statusReports().empty());

    // No server id, or one that names no host: a failure, reported once per change of status.
    for (const char* serverId : {"", "12abc", ""}) {
        peer->connectToRemotePeer(remote("uuid-x", serverId));
    }
    EXPECT_EQ(delegate->failed.load(), 3);
    EXPECT_EQ(manager->failures.load(), 3);
    EXPECT_EQ(manager->statusReports(), (Reports{{"uuid-x", TunnexTunnelDisconnected}}));
    EXPECT_TRUE(memoryLogContains("No serverId provided for connection to remote peer: (uuid-x)"));

    // No transaction: a failure too.
    manager->makeTransactions = false;
    peer->connectToRemotePeer(remote("uuid-y", "6"));
    EXPECT_EQ(delegate->failed.load(), 4);
    EXPECT_TRUE(memoryLogContains("Could not build transaction for remote peer: (uuid-y)"));
    EXPECT_EQ(manager->assignments.load(), 0);
}

TEST_F(Connect, RequestReachesTheServerAndInvitingIsReported) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    ASSERT_NE(server.port(), 0);
    TunnexPeer::setTiming({5000ms, 30000ms, 10ms});
    TunnexPeer::setGlobalServerPort(server.port());
    ASSERT_TRUE(peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    ASSERT_TRUE(mainLoop().runUntil([&] { return peer->pongCounter() >= 1; }, 10s));

    const uint64_t handleBefore = TunnexPeer::connectionHandleCounter();
    peer->setCancel(true);
    peer->connectToRemotePeer(remote("uuid-b", "77"));
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelInviting);
    EXPECT_TRUE(peer->connecting());
    EXPECT_EQ(manager->assignments.load(), 1);
    EXPECT_EQ(manager->startsMarked.load(), 1);

    auto connect = server.waitForEvent("connect", 10s);
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->value("id", 0), 42);
    EXPECT_EQ(connect->value("peer", 0), 77);
    EXPECT_EQ(connect->value("transaction", int64_t(0)), 1000);  // the manager's first transaction
    EXPECT_TRUE(test::waitFor([&] { return !manager->statusReports().empty(); }, 10s));
    EXPECT_EQ(manager->statusReports().front(), std::make_pair(std::string("uuid-b"), TunnexTunnelInviting));
    EXPECT_EQ(peer->peerConnectionHandle(), handleBefore + 1);
    EXPECT_FALSE(peer->cancel());
    EXPECT_EQ(progress->taken().front(), "Searching 0 0.000000");
}

TEST_F(Connect, HandlesCountConnectRequests) {
    const uint64_t before = TunnexPeer::connectionHandleCounter();
    // Without a message nothing is sent and the counter stays.
    EXPECT_EQ(peer->startConnectionWithConnectMessage(std::nullopt), before);
    EXPECT_TRUE(progress->taken().empty());
    const Bytes message = TunnexPeer::tunnexConnectMessageWithPeerID(1, 2);
    const uint64_t first = peer->startConnectionWithConnectMessage(message);
    const uint64_t second = peer->startConnectionWithConnectMessage(message);
    EXPECT_EQ(first, before + 1);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(peer->peerConnectionHandle(), second);
}

TEST_F(Connect, OutcomesTellManagerDelegateAndReports) {
    auto record = remote("uuid-c", "9");
    peer->didConnectWithRemotePeer(nullptr);  // nothing at all
    EXPECT_EQ(manager->connects.load(), 0);

    peer->didConnectWithRemotePeer(record);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelConnected);
    EXPECT_TRUE(peer->connectionComplete());
    EXPECT_FALSE(peer->connecting());
    EXPECT_EQ(manager->connects.load(), 1);
    EXPECT_EQ(delegate->connected.load(), 1);
    // Status 5 goes out unconditionally, from a global queue.
    EXPECT_TRUE(test::waitFor([&] { return manager->statusReports().size() == 1; }));
    EXPECT_EQ(manager->statusReports().back(), std::make_pair(std::string("uuid-c"), TunnexTunnelConnected));

    peer->disconnectedFromRemotePeer(record);
    peer->failedToConnectWithRemotePeer(record);  // 0 again: not reported twice
    peer->disconnectedFromRemotePeer(nullptr);    // told, but nothing to report
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    EXPECT_EQ(delegate->disconnected.load(), 2);
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(manager->disconnects.load(), 2);
    EXPECT_EQ(manager->statusReports(),
              (Reports{{"uuid-c", TunnexTunnelConnected}, {"uuid-c", TunnexTunnelDisconnected}}));
}

TEST_F(Connect, StatusQueries) {
    for (int status = 0; status <= 5; ++status) {
        peer->setConnectionStatus(TunnexTunnelStatus(status));
        EXPECT_EQ(peer->connecting(), status >= 1 && status <= 4) << status;
    }
    peer->flagStatusAsQueueing();
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelQueueing);
    peer->flagStatusAsDisconnected();
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);

    // Status 5 is not a connection while the main channel is missing.
    peer->setStunPeer(remote("uuid-d", "1"));
    peer->setConnectionStatus(TunnexTunnelConnected);
    EXPECT_FALSE(peer->isConnected());
    EXPECT_EQ(peer->connectedRemote(), nullptr);
    EXPECT_EQ(peer->connectedRemoteUUID(), std::nullopt);
    EXPECT_FALSE(peer->isConnectedToRemoteWithUUID("uuid-d"));

    // With its main channel it is connected to that remote and to no other.
    peer->setMainChannel(TunnexSocketImpl::create());
    EXPECT_TRUE(peer->isConnected());
    EXPECT_EQ(peer->connectedRemoteUUID(), "uuid-d");
    EXPECT_TRUE(peer->isConnectedToRemoteWithUUID("uuid-d"));
    EXPECT_FALSE(memoryLogContains("Peer registered with incorrect UUID"));
    EXPECT_FALSE(peer->isConnectedToRemoteWithUUID("uuid-e"));
    EXPECT_TRUE(memoryLogContains("Peer registered with incorrect UUID"));
    peer->setConnectionStatus(TunnexTunnelEncrypting);
    EXPECT_EQ(peer->connectedRemote(), nullptr);
}

TEST_F(Connect, CancellingARegistrationThatIsNotThePeersKeepsIt) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    TunnexPeer::setGlobalServerPort(server.port());
    ASSERT_TRUE(peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    auto other = TunnexPeer::init();
    EXPECT_TRUE(other->cancelRegistrationWithServer(true));
    EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), peer);
    EXPECT_FALSE(other->contactedServer());
    EXPECT_TRUE(peer->cancelRegistrationWithServer(true));
    EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), nullptr);
}

}  // namespace
}  // namespace kl

// A registered tunnel peer against the rendezvous stand-in on loopback, with short intervals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "PeerTestSupport.h"
#include "StandinProcess.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

class PeerRendezvous : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        ASSERT_NE(server.port(), 0);
        TunnexPeer::setTiming({200ms, 3000ms, 10ms});
        TunnexPeer::setGlobalServerPort(server.port());
        setTunnexPeerManager(manager);
        setLoggingLevel(kKLTLoggingLevelDebug);
        clearMemoryLog();
        peer = TunnexPeer::init();
        peer->setPrivateKey(test::bytesFromHex(test::kPeerKeyHex));
        peer->setInviteDelegate(invite);
        peer->setDelegate(delegate);
    }
    void TearDown() override {
        // Pings, pongs, time-outs and the reply handlers all ran on their peer's queue.
        EXPECT_FALSE(memoryLogContains("runs off its peer's queue"));
        if (peer) peer->cancelRegistrationWithServer(true);
        setTunnexPeerManager(nullptr);
        setTunnexPeerConnectionLayer(nullptr);
        setLoggingLevel(kKLTLoggingLevelInfo);
    }
    bool run(const std::function<bool()>& until, Duration timeout = 10s) { return mainLoop().runUntil(until, timeout); }
    // Replies are handled on the peer's queue.
    static void receive(const std::shared_ptr<TunnexPeer>& peer, const Bytes& invitation) {
        peer->queue().sync([&] { peer->receivedInvitation(invitation); });
    }
    bool registerAndPong() {
        if (!peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42)) return false;
        return run([&] { return peer->pongCounter() >= 1; });
    }

    test::RendezvousStandin server{test::kPeerKeyHex};
    std::shared_ptr<test::RecordingManager> manager = std::make_shared<test::RecordingManager>();
    std::shared_ptr<test::RecordingInviteDelegate> invite = std::make_shared<test::RecordingInviteDelegate>();
    std::shared_ptr<test::RecordingPeerDelegate> delegate = std::make_shared<test::RecordingPeerDelegate>();
    std::shared_ptr<TunnexPeer> peer;
};

TEST_F(PeerRendezvous, RegistersLearnsItsExternalAddressAndKeepsPinging) {
    ASSERT_TRUE(peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), peer);
    auto socket = TunnexPeer::activePingSocket();
    ASSERT_EQ(socket, peer->handoffSocket());
    EXPECT_EQ(socket->tag(), TunnexPeer::kPingSocketTag);

    ASSERT_TRUE(run([&] { return peer->pongCounter() >= 3; }));
    // Pongs are handled on the peer's queue, which then has the main loop tell the manager.
    run([&] { return manager->fulfilled.load() >= 3; }, 2s);
    EXPECT_TRUE(peer->tunnexServerResponded());
    const sockaddr_storage external = peer->extAddress();
    ASSERT_EQ(external.ss_family, AF_INET);
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&external);
    EXPECT_EQ(ntohl(ipv4->sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(ntohs(ipv4->sin_port), socket->localPort());
    EXPECT_GE(manager->fulfilled.load(), 3);

    // The server saw consecutive ping counters from id 42, each ping carrying the socket's port. Its
    // log lines arrive through a pipe and may trail the pongs the peer already has.
    ASSERT_TRUE(run([&] { return server.count("ping") >= 3; }));
    auto pings = server.lines();
    std::vector<uint64_t> counters;
    for (const auto& line : pings) {
        if (line.value("event", "") != "ping") continue;
        EXPECT_EQ(line.value("id", 0), 42);
        for (const auto& address : line["addresses"]) {
            EXPECT_NE(address.get<std::string>().find(":" + std::to_string(socket->localPort())), std::string::npos);
        }
        counters.push_back(line.value("counter", uint64_t(99)));
    }
    ASSERT_GE(counters.size(), 3u);
    for (size_t i = 0; i < counters.size(); ++i) EXPECT_EQ(counters[i], i);
}

TEST_F(PeerRendezvous, RegisteringTwiceLeavesOnePingSocket) {
    ASSERT_TRUE(registerAndPong());
    auto first = peer->handoffSocket();
    ASSERT_TRUE(peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    EXPECT_EQ(first->tag(), 0u);
    auto second = TunnexPeer::activePingSocket();
    EXPECT_NE(second, first);
    EXPECT_EQ(second, peer->handoffSocket());
    const uint64_t before = peer->pongCounter();
    EXPECT_TRUE(run([&] { return peer->pongCounter() >= before + 2; }));
}

TEST_F(PeerRendezvous, RepliesWithBadTagsOrReplayedNoncesAreDropped) {
    ASSERT_TRUE(registerAndPong());
    const uint64_t highest = TunnexPeer::highestServerNonce();
    server.send("mode bad-tag");
    ASSERT_TRUE(run([] { return memoryLogContains("CCM MAC failed"); }));
    EXPECT_EQ(TunnexPeer::highestServerNonce(), highest) << "a forged reply moved the nonce mark";

    server.send("mode replay");
    const uint64_t pongs = peer->pongCounter();
    // After the bad-tag pong no ping leaves until the time-out recycles the registered peer.
    ASSERT_TRUE(run([] { return memoryLogContains("Server repeated nonce"); }));
    auto registered = TunnexPeer::registeredTunnexPeer();
    ASSERT_TRUE(registered);
    ASSERT_TRUE(run([&] { return registered->pongCounter() >= 1; }));
    EXPECT_EQ(peer->pongCounter(), pongs);
    // Each replayed pair counts once.
    const size_t sent = server.count("pong");
    EXPECT_LE(registered->pongCounter(), sent);
    peer = registered;
}

TEST_F(PeerRendezvous, InvitationFromAnotherHostIsReadOnceAndHandedToTheHolePunch) {
    auto layer = std::make_shared<test::RecordingConnectionLayer>();
    setTunnexPeerConnectionLayer(layer);
    ASSERT_TRUE(registerAndPong());
    test::OtherHost other(77, server.port());
    uint32_t alternate;
    inet_pton(AF_INET, "10.0.0.9", &alternate);
    other.ping({{alternate, 5555}});
    ASSERT_TRUE(server.waitFor([](const nlohmann::json& l) { return l.value("event", "") == "ping" && l.value("id", 0) == 77; }, 10s));
    // The connect request repeats; so do the server's invitations.
    for (int i = 0; i < 3; ++i) other.connect(42, 5001, "other-machine-uuid");
    ASSERT_TRUE(run([&] { return memoryLogContains("Invitation for transaction 5001 is already handled"); }));
    ASSERT_TRUE(run([&] { return layer->callCount() > 0; }));

    EXPECT_EQ(invite->invites.load(), 1);
    EXPECT_EQ(manager->timeoutsRegistered.load(), 1);
    EXPECT_EQ(manager->transactionsRegistered.load(), 1);
    auto transaction = manager->transactionForTransactionId(5001);
    ASSERT_TRUE(transaction);
    EXPECT_FALSE(transaction->isOriginator());
    auto remote = transaction->remotePeer();
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->UUID(), "other-machine-uuid");
    EXPECT_EQ(remote->port(), other.port());
    auto known = remote->knownAddresses();
    ASSERT_EQ(known.size(), 1u);
    EXPECT_EQ(known[0].port(), 5555);
    EXPECT_EQ(layer->takeCalls(), std::vector<std::string>{"connect 5001"});
}

TEST_F(PeerRendezvous, InvitationBeforeAnyPongFailsTheAttempt) {
    // No pong has named the external address of this (unregistered) peer.
    Bytes invitation(87, 0);
    invitation[0] = 1;
    invitation[5] = 9;
    invitation[13] = 1;
    receive(peer, invitation);
    EXPECT_TRUE(memoryLogContains("External address does not hail from AF_INET. Will not connect"));
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(manager->failures.load(), 1);

    Bytes withoutAddress(87, 0);
    withoutAddress[0] = 1;
    withoutAddress[5] = 10;
    receive(peer, withoutAddress);
    EXPECT_TRUE(memoryLogContains("Invitation does not have IPv4 address"));
    EXPECT_EQ(delegate->failed.load(), 2);
}

// A registration recycled (its pings went unanswered for a while) keeps the public address the
// last pong named, so an invitation that reaches it before its own first pong is served.
TEST_F(PeerRendezvous, ARecycledRegistrationAnswersAnInvitationBeforeItsFirstPong) {
    auto layer = std::make_shared<test::RecordingConnectionLayer>();
    setTunnexPeerConnectionLayer(layer);
    ASSERT_TRUE(registerAndPong());
    const sockaddr_storage known = peer->extAddress();
    // The server is stopped meanwhile: the new peer's pings wait in its socket and no pong can
    // reach the new peer before the address is read.
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    auto next = TunnexPeer::recycleTunnexPeer(peer);
    peer = next;
    const uint64_t pongs = next->pongCounter();
    const sockaddr_storage carried = next->extAddress();
    ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);
    ASSERT_EQ(pongs, 0u);
    ASSERT_EQ(carried.ss_family, AF_INET);
    EXPECT_EQ(std::memcmp(&carried, &known, sizeof(sockaddr_in)), 0);

    Bytes invitation(87, 0);
    invitation[0] = 1;
    invitation[5] = 0x2a;  // a transaction of its own: invitations are handled once per process
    invitation[6] = 0x17;
    invitation[13] = 1;
    receive(next, invitation);
    EXPECT_FALSE(memoryLogContains("External address does not hail from AF_INET"));
    EXPECT_TRUE(run([&] { return layer->callCount() > 0; })) << "the hole punch was not started";
}

TEST_F(PeerRendezvous, ConnectRequestToAnUnknownHostEndsInADisconnect) {
    ASSERT_TRUE(registerAndPong());
    auto request = peer->sealServerRequest(TunnexPeer::tunnexConnectMessageWithPeerID(999, 31));
    ASSERT_TRUE(request);
    ASSERT_EQ(request->size(), 112u);
    peer->sendInvitationRequest(*request, peer->handoffSocket(), server.port());
    EXPECT_TRUE(server.waitFor([](const nlohmann::json& l) { return l.value("event", "") == "connect" && l.value("peer", 0) == 999; }, 10s));
    ASSERT_TRUE(run([&] { return delegate->disconnected.load() >= 5; }));
    // The server's log lines arrive through a pipe and may trail its replies.
    run([&] { return server.count("connect") >= 5; }, 2s);
    EXPECT_EQ(server.count("connect"), 5u);
    EXPECT_GE(manager->disconnects.load(), 5);
}

TEST_F(PeerRendezvous, UnresolvableServerLeavesThePeerWithoutSocket) {
    EXPECT_FALSE(peer->registerWithServerAtAddress("no-such-host.invalid", 5.0, 42));
    EXPECT_TRUE(memoryLogContains("Unable to resolve server address: no-such-host.invalid"));
    EXPECT_FALSE(peer->handoffSocket());
    EXPECT_FALSE(TunnexPeer::activePingSocket());
}

TEST_F(PeerRendezvous, PeerWithoutKeySendsNothing) {
    peer->setPrivateKey({});
    ASSERT_TRUE(peer->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    ASSERT_TRUE(run([] { return memoryLogContains("Crypto++ exception"); }));
    EXPECT_EQ(peer->pingCounter(), 0u);
    EXPECT_EQ(server.count("ping"), 0u);
}

}  // namespace
}  // namespace kl

// Two nodes in one process: each context registers its own peer with its own rendezvous stand-in,
// under its own id, server, machine UUID, timing and manager, and neither sees the other's state
// nor the process's default context.
#include <gtest/gtest.h>

#include "PeerTestSupport.h"
#include "StandinProcess.h"
#include "platform/Executors.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/manager/TunnexRemotePeer.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

struct Node {
    Node(uint64_t id, const std::string& uuid, std::chrono::milliseconds pingInterval) : id(id), uuid(uuid) {
        context->setServerPort(server.port());
        context->setMachineUUID(uuid);
        context->setTiming({pingInterval, 30000ms, 10ms});
        context->setManager(manager);
        peer = TunnexPeer::initUsingEncryption(true, 0, tunnexSystemClock(), context);
        peer->setPrivateKey(test::bytesFromHex(test::kPeerKeyHex));
    }
    ~Node() {
        if (auto registered = context->registeredPeer()) registered->cancelRegistrationWithServer(true);
    }
    // Ping events the node's server logged, and whether every one carried this node's id.
    size_t pingsOfThisNodeOnly() const {
        size_t pings = 0;
        for (const auto& line : server.lines()) {
            if (line.value("event", "") != "ping") continue;
            if (line.value("id", uint64_t(0)) != id) return 0;
            ++pings;
        }
        return pings;
    }

    const uint64_t id;
    const std::string uuid;
    test::RendezvousStandin server{test::kPeerKeyHex};
    std::shared_ptr<TunnexContext> context = TunnexContext::create();
    std::shared_ptr<test::RecordingManager> manager = std::make_shared<test::RecordingManager>();
    std::shared_ptr<TunnexPeer> peer;
};

bool run(const std::function<bool()>& until) { return mainLoop().runUntil(until, 10s); }

TEST(Contexts, TwoNodesRegisterAndPingTheirOwnServersApart) {
    Node a(101, "node-a-uuid", 100ms);
    Node b(202, "node-b-uuid", 5000ms);
    ASSERT_NE(a.server.port(), 0);
    ASSERT_NE(b.server.port(), 0);
    const auto defaultRegistered = TunnexPeer::registeredTunnexPeer();

    ASSERT_TRUE(a.peer->registerWithServerAtAddress("127.0.0.1", 5.0, a.id));
    ASSERT_TRUE(b.peer->registerWithServerAtAddress("localhost", 5.0, b.id));
    EXPECT_EQ(a.context->registeredPeer(), a.peer);
    EXPECT_EQ(b.context->registeredPeer(), b.peer);
    EXPECT_EQ(TunnexPeer::registeredTunnexPeer(), defaultRegistered) << "the default context is untouched";
    EXPECT_EQ(a.context->pingSocket(), a.peer->handoffSocket());
    EXPECT_EQ(b.context->pingSocket(), b.peer->handoffSocket());
    EXPECT_NE(TunnexPeer::activePingSocket(), a.peer->handoffSocket());
    EXPECT_EQ(a.context->serverHost(), "127.0.0.1");
    EXPECT_EQ(b.context->serverHost(), "localhost");
    EXPECT_EQ(a.context->assignedId(), a.id);
    EXPECT_EQ(b.context->assignedId(), b.id);

    // A pings every 100 ms, B every 5 s: each node's timing drives its own peer only, and each
    // server hears only its node's id.
    ASSERT_TRUE(run([&] { return a.peer->pongCounter() >= 4 && b.peer->pongCounter() >= 1; }));
    EXPECT_LE(b.peer->pongCounter(), 2u);
    // The stand-in's log of a ping may come in after its pong.
    EXPECT_TRUE(run([&] { return a.pingsOfThisNodeOnly() >= 4u; })) << a.pingsOfThisNodeOnly();
    EXPECT_TRUE(run([&] { return b.pingsOfThisNodeOnly() >= 1u; })) << b.pingsOfThisNodeOnly();
    // Each pong asks the node's own manager for the next queued connection (from the main loop, so
    // the last pong's request may still be on its way).
    EXPECT_TRUE(run([&] { return a.manager->fulfilled.load() >= 4; })) << a.manager->fulfilled.load();
    EXPECT_LE(b.manager->fulfilled.load(), 2);
}

TEST(Contexts, ConnectRequestsAndRecyclingStayInTheirNode) {
    Node a(101, "node-a-uuid", 5000ms);
    Node b(202, "node-b-uuid", 5000ms);
    ASSERT_TRUE(a.peer->registerWithServerAtAddress("127.0.0.1", 5.0, a.id));
    ASSERT_TRUE(b.peer->registerWithServerAtAddress("127.0.0.1", 5.0, b.id));
    ASSERT_TRUE(run([&] { return a.peer->pongCounter() >= 1 && b.peer->pongCounter() >= 1; }));

    // A's request names A's machine and reaches A's server, through A's manager.
    auto remote = std::make_shared<TunnexRemotePeer>();
    remote->setUUID("remote-uuid");
    remote->setServerID("77");
    const uint64_t defaultHandles = TunnexPeer::connectionHandleCounter();
    a.peer->connectToRemotePeer(remote);
    auto connect = a.server.waitForEvent("connect", 10s);
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->value("uuid", ""), "node-a-uuid");
    EXPECT_EQ(connect->value("id", 0), 101);
    EXPECT_EQ(a.manager->transactionsMade.load(), 1);
    EXPECT_EQ(b.manager->transactionsMade.load(), 0);
    EXPECT_EQ(a.context->connectionHandleCounter(), 1u);
    EXPECT_EQ(b.context->connectionHandleCounter(), 0u);
    EXPECT_EQ(TunnexPeer::connectionHandleCounter(), defaultHandles);
    EXPECT_EQ(b.server.count("connect"), 0u);

    // A successor inherits its predecessor's context; B's registration stays as it was.
    auto successor = TunnexPeer::recycleRegisteredTunnexPeer(a.peer);
    ASSERT_TRUE(successor);
    EXPECT_EQ(&successor->context(), a.context.get());
    EXPECT_EQ(a.context->registeredPeer(), successor);
    EXPECT_EQ(b.context->registeredPeer(), b.peer);
    EXPECT_FALSE(TunnexPeer::recycleRegisteredTunnexPeer(a.peer)) << "a peer no longer registered is left alone";
    const size_t pingsBefore = a.server.count("ping");
    ASSERT_TRUE(run([&] { return a.server.count("ping") > pingsBefore; })) << "the successor pings A's server";
    EXPECT_EQ(a.pingsOfThisNodeOnly(), a.server.count("ping"));
}

TEST(Contexts, EachContextHasItsOwnLayerAndFollowedInvitations) {
    auto a = TunnexContext::create();
    auto b = TunnexContext::create();
    ASSERT_TRUE(a->connectionLayer());
    EXPECT_NE(a->connectionLayer(), b->connectionLayer());
    EXPECT_NE(a->connectionLayer(), TunnexContext::processDefault()->connectionLayer());
    EXPECT_FALSE(a->manager());

    EXPECT_TRUE(a->followInvitation(7, 1000.0));
    EXPECT_FALSE(a->followInvitation(7, 1001.0)) << "a repeat of a followed invitation";
    EXPECT_TRUE(b->followInvitation(7, 1000.0)) << "the other node follows it for itself";
    a->forgetInvitations(0.0, {7});
    EXPECT_EQ(a->followedInvitationCount(), 0u);
    EXPECT_EQ(b->followedInvitationCount(), 1u);
}

}  // namespace
}  // namespace kl

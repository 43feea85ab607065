// The ping time-out cycle against a stand-in that falls silent. Its own binary: the alternation of
// the delegate reports is process-wide.
#include <gtest/gtest.h>

#include "PeerTestSupport.h"
#include "StandinProcess.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

TEST(PeerTimeout, SilentServerRecyclesThePeerAndEverySecondTimeOutReachesTheDelegate) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    ASSERT_NE(server.port(), 0);
    TunnexPeer::setTiming({100ms, 400ms, 10ms});
    TunnexPeer::setGlobalServerPort(server.port());
    auto invite = std::make_shared<test::RecordingInviteDelegate>();
    auto first = TunnexPeer::init();
    first->setPrivateKey(test::bytesFromHex(test::kPeerKeyHex));
    first->setInviteDelegate(invite);
    ASSERT_TRUE(first->registerWithServerAtAddress("127.0.0.1", 5.0, 42));
    ASSERT_TRUE(mainLoop().runUntil([&] { return first->pongCounter() >= 4; }, 10s));
    const uint64_t highestBeforeRestart = TunnexPeer::highestServerNonce();
    auto firstSocket = first->handoffSocket();

    server.send("mode silent");
    std::vector<std::shared_ptr<TunnexPeer>> registered = {first};
    std::vector<int> reportsAfter;
    for (int timeOut = 1; timeOut <= 4; ++timeOut) {
        ASSERT_TRUE(mainLoop().runUntil([&] { return TunnexPeer::registeredTunnexPeer() != registered.back(); }, 10s))
            << "time-out " << timeOut;
        registered.push_back(TunnexPeer::registeredTunnexPeer());
        // Let a report posted by this time-out arrive before counting.
        mainLoop().runUntil([] { return false; }, 50ms);
        reportsAfter.push_back(invite->timeOuts.load());
    }
    EXPECT_EQ(reportsAfter, (std::vector<int>{0, 1, 1, 2}));
    EXPECT_TRUE(memoryLogContains("Tunnex server ping timeout"));

    // Each recycle hands the key and the delegate on and takes a fresh socket; the old peer keeps
    // its socket without the ping role.
    auto current = registered.back();
    EXPECT_EQ(current->privateKey(), first->privateKey());
    EXPECT_EQ(current->inviteDelegate(), invite);
    EXPECT_EQ(current->pongCounter(), 0u);
    EXPECT_EQ(firstSocket->tag(), 0u);
    EXPECT_EQ(first->handoffSocket(), firstSocket);
    EXPECT_EQ(TunnexPeer::activePingSocket(), current->handoffSocket());

    // The server comes back restarted: its nonces begin anew, lower than any heard before. The
    // next recycle's gate accepts them, and every recycle's first ping left from a bound socket.
    test::RendezvousStandin restarted(test::kPeerKeyHex);
    ASSERT_NE(restarted.port(), 0);
    TunnexPeer::setGlobalServerPort(restarted.port());
    EXPECT_TRUE(mainLoop().runUntil([&] { return TunnexPeer::registeredTunnexPeer()->pongCounter() >= 1; }, 10s));
    EXPECT_LT(TunnexPeer::highestServerNonce(), highestBeforeRestart);
    EXPECT_FALSE(memoryLogContains("Bad file descriptor"));
    TunnexPeer::registeredTunnexPeer()->cancelRegistrationWithServer(true);
    EXPECT_FALSE(TunnexPeer::registeredTunnexPeer());
    EXPECT_FALSE(TunnexPeer::activePingSocket());
}

}  // namespace
}  // namespace kl

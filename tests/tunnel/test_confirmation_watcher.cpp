// The confirmation waits of answered fresh sockets, watched together: one thread for any number of
// waits, each with its own silence, what ends a wait and what it leaves of its socket, and a prompt
// end when the watcher goes. Real UDP sockets on loopback; the report only records.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "HolePunchTestSupport.h"
#include "PeerTestSupport.h"
#include "foundation/KLNetSocket.h"
#include "support/TestEnvironment.h"
#include "tunnel/peer/TunnexConfirmationWatcher.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using Watcher = TunnexConfirmationWatcher;

constexpr int64_t kTransaction = 77;

Bytes ahoyOf(int64_t transactionId) {
    const TunnexAhoy ahoy = tunnexBuildAhoy(transactionId, true);
    return Bytes(ahoy.begin(), ahoy.end());
}

Bytes acknowledgementOf(uint16_t type) {
    const TunnexAcknowledgement record = tunnexBuildAcknowledgement(kTransaction, type, "remote-uuid");
    return Bytes(record.begin(), record.end());
}

class ConfirmationWatcher : public ::testing::Test {
protected:
    struct Reported {
        uint16_t port;
        TunnexHolePunchWord word;
        bool endsWait;
    };

    void SetUp() override {
        transaction->setTransactionId(kTransaction);
        transaction->addInvitedAddress(remote.address());
    }
    void TearDown() override { watcher.reset(); }

    void start(int polls, std::chrono::milliseconds poll) {
        watcher = std::make_unique<Watcher>(polls, poll, [this](const auto&, const Watcher::Wait& wait,
                                                                const Watcher::Heard& heard) {
            std::lock_guard lock(mutex);
            reports.push_back({wait.socket->localPort(), heard.word, heard.decision.endsWait});
        });
    }
    // A fresh socket that answered the remote, now waiting for its confirmation.
    std::shared_ptr<KLNetSocket> waitingSocket() {
        auto socket = KLNetSocket::initUDPClientWithFamily(AF_INET);
        EXPECT_TRUE(socket);
        auto answered = std::make_shared<TunnexRemotePeer>();
        answered->setAddress(remote.address());
        watcher->add({socket, answered, false, transaction, peer});
        return socket;
    }
    static sockaddr_in addressOf(const KLNetSocket& socket) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(socket.localPort());
        return to;
    }
    std::vector<Reported> reported() {
        std::lock_guard lock(mutex);
        return reports;
    }

    test::ScriptedRemote remote;
    std::shared_ptr<TunnexTransaction> transaction = std::make_shared<TunnexTransaction>();
    std::shared_ptr<TunnexPeer> peer = TunnexPeer::init();
    std::unique_ptr<Watcher> watcher;
    std::mutex mutex;
    std::vector<Reported> reports;  // guarded by mutex
};

TEST_F(ConfirmationWatcher, ManyWaitsAreWatchedByOneThread) {
    start(50, 100ms);
    std::vector<std::shared_ptr<KLNetSocket>> sockets{waitingSocket()};
    ASSERT_TRUE(test::waitFor([&] { return watcher->openWaits() == 1; }));
    const size_t threadsForOne = test::threadCount();
    while (sockets.size() < 40) sockets.push_back(waitingSocket());
    EXPECT_EQ(watcher->openWaits(), 40u);
    EXPECT_EQ(test::threadCount(), threadsForOne);
    // Every one of them is heard.
    for (const auto& socket : sockets) remote.send(ahoyOf(kTransaction), addressOf(*socket));
    ASSERT_TRUE(test::waitFor([&] { return reported().size() == 40; }));
    std::set<uint16_t> ports;
    for (const auto& report : reported()) ports.insert(report.port);
    EXPECT_EQ(ports.size(), 40u);
    EXPECT_EQ(watcher->openWaits(), 40u);
}

TEST_F(ConfirmationWatcher, SilenceEndsOnlyTheWaitThatHeardNothing) {
    start(5, 100ms);
    auto quiet = waitingSocket();
    auto talking = waitingSocket();
    const uint16_t talkingPort = talking->localPort();
    // Three silences long, the remote keeps one of the two waits alive.
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        remote.send(ahoyOf(kTransaction), addressOf(*talking));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(watcher->openWaits(), 1u);
    EXPECT_LT(quiet->sock(), 0);  // closed with its wait
    EXPECT_GE(talking->sock(), 0);
    ASSERT_TRUE(test::waitFor([&] { return watcher->openWaits() == 0; }));
    EXPECT_LT(talking->sock(), 0);
    for (const auto& report : reported()) {
        EXPECT_EQ(report.port, talkingPort);
        EXPECT_EQ(report.word, TunnexHolePunchWord::Ahoy);
        EXPECT_FALSE(report.endsWait);
    }
    EXPECT_FALSE(reported().empty());
}

TEST_F(ConfirmationWatcher, StrangersMoveNothing) {
    start(5, 100ms);
    auto socket = waitingSocket();
    // From an address the invitation did not name, a record of another attempt, a byte, a word
    // of no class: none is reported and none holds the wait open.
    test::ScriptedRemote stranger(INADDR_LOOPBACK + 1);
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (watcher->openWaits() > 0 && std::chrono::steady_clock::now() < until) {
        stranger.send(ahoyOf(kTransaction), addressOf(*socket));
        remote.send(ahoyOf(kTransaction + 1), addressOf(*socket));
        remote.send({0x0D}, addressOf(*socket));
        remote.send({0x1D, 0xAC}, addressOf(*socket));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(watcher->openWaits(), 0u);
    EXPECT_LT(socket->sock(), 0);
    EXPECT_TRUE(reported().empty());
}

TEST_F(ConfirmationWatcher, ConfirmationAcceptanceOrTransportEndTheWaitAndKeepItsSocket) {
    start(50, 100ms);
    const struct {
        Bytes datagram;
        TunnexHolePunchWord word;
    } cases[] = {
        {acknowledgementOf(kTunnexPeerConfirmMsg), TunnexHolePunchWord::Confirm},
        {acknowledgementOf(kTunnexPeerAcceptMsg), TunnexHolePunchWord::Accept},
        {{0x80, 0x00, 0, 0, 0, 0, 0, 0}, TunnexHolePunchWord::TransportHandshake},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.word));
        auto socket = waitingSocket();
        remote.send(c.datagram, addressOf(*socket));
        ASSERT_TRUE(test::waitFor([&] { return watcher->openWaits() == 0; }));
        ASSERT_FALSE(reported().empty());
        EXPECT_EQ(reported().back().word, c.word);
        EXPECT_TRUE(reported().back().endsWait);
        EXPECT_GE(socket->sock(), 0);  // left open for the completion
    }
}

TEST_F(ConfirmationWatcher, AWaitWhosePeerWentEndsAndClosesItsSocket) {
    start(50, 100ms);
    auto socket = waitingSocket();
    ASSERT_EQ(watcher->openWaits(), 1u);
    peer.reset();
    ASSERT_TRUE(test::waitFor([&] { return watcher->openWaits() == 0; }));
    EXPECT_LT(socket->sock(), 0);
}

TEST_F(ConfirmationWatcher, GoingWithWaitsOpenEndsThemAtOnce) {
    start(15, 1000ms);
    std::vector<std::shared_ptr<KLNetSocket>> sockets;
    for (int i = 0; i < 3; ++i) sockets.push_back(waitingSocket());
    const auto started = std::chrono::steady_clock::now();
    watcher.reset();
    // Long before any wait's silence (15 s) would have ended it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    for (const auto& socket : sockets) EXPECT_LT(socket->sock(), 0);
}

}  // namespace
}  // namespace kl

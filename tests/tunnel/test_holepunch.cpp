// The hole-punch layer on real sockets against a scripted remote: what goes on the wire, the
// answers on fresh sockets, the once-only completion, and the attempts that fail (silence, no
// descriptors left). The process's main thread works in a network namespace of its own, so the
// datagrams sprayed at random ports cannot reach other tests.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <udt/udt.h>

#include <cstdio>
#include <thread>

#include "HolePunchTestSupport.h"
#include "PeerTestSupport.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "support/TestEnvironment.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kTransaction = 4242;

size_t logCount(const std::string& text) {
    size_t count = 0;
    for (const auto& line : memoryLogLines()) count += line.find(text) != std::string::npos;
    return count;
}

class HolePunch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::enterPrivateNetworkNamespace()) GTEST_SKIP() << "needs a private network namespace (root)";
    }
    void SetUp() override {
        if (!test::enterPrivateNetworkNamespace()) GTEST_SKIP() << "needs a private network namespace (root)";
        // The attempt's steps are timers on the pool, whose timer machinery opens its descriptors
        // once, on first use: before any test counts descriptors.
        globalQueue().after(0ms, [] {});
        TunnexHolePunch::Timing timing;
        timing.rounds = 64;
        timing.finalPoll = 200ms;
        timing.attemptLimit = 3s;
        timing.repeatInterval = 50ms;
        timing.confirmationPolls = 4;
        timing.confirmationPoll = 250ms;
        timing.countdownChecks = 20;
        timing.countdownInterval = 20ms;
        timing.mainChannelConnectLimit = 3s;
        layer = TunnexHolePunch::create(timing);
        setTunnexPeerManager(manager);
        TunnexPeer::setLocalMachineUUID("punch-test-uuid");
        setLoggingLevel(kKLTLoggingLevelDebug);
        clearMemoryLog();
        peer = TunnexPeer::init();
        setTunnexPeerConnectionLayer(layer);
        peer->setDelegate(delegate);
        handoff = KLNetSocket::initWithFamily(AF_INET);
        ASSERT_TRUE(handoff->startListeningForDatagramsOnPort(peer, 0));
        ASSERT_TRUE(test::waitFor([&] { return handoff->localPort() != 0; }));
        peer->setHandoffSocket(handoff);
        record = std::make_shared<TunnexRemotePeer>();
        record->setUUID("remote-uuid");
        const sockaddr_storage address = remote.address();
        record->setAddress(address);
        record->setPort(ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port));
    }
    void TearDown() override {
        if (layer) waitForAttempt();
        // Every step of the attempt and of the completion ran on the peer's queue.
        EXPECT_FALSE(memoryLogContains("runs off its peer's queue"));
        // A completion still running would report into the next test.
        if (layer) {
            EXPECT_TRUE(test::waitFor([&] { return layer->pendingCompletions() == 0; }, 60s));
        }
        setTunnexPeerConnectionLayer(nullptr);
        setTunnexPeerManager(nullptr);
        setLoggingLevel(kKLTLoggingLevelInfo);
    }
    std::shared_ptr<TunnexTransaction> transaction(bool originator) {
        auto made = std::make_shared<TunnexTransaction>();
        made->setTransactionId(kTransaction);
        made->setIsOriginator(originator);
        made->setRemotePeer(record);
        made->addInvitedAddress(remote.address());
        manager->registerTransaction(made);
        return made;
    }
    // The attempt runs as steps on the peer's queue: it has ended when none is left.
    void startAttempt(const std::shared_ptr<TunnexTransaction>& made) { layer->connectWithTransaction(peer, made); }
    void waitForAttempt() { EXPECT_TRUE(test::waitFor([&] { return layer->runningAttempts() == 0; }, 120s)); }
    void responderCompletesOnAFreshSocket(bool acceptArrives);
    // The remote's address as the peer records its hole-punch attempts.
    std::string remoteSenderText() {
        const sockaddr_storage address = remote.address();
        return AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("");
    }
    bool fromHandoff(const test::ScriptedRemote::Datagram& datagram) const {
        return datagram.port() == handoff->localPort();
    }

    test::ScriptedRemote remote;
    std::shared_ptr<TunnexHolePunch> layer;
    std::shared_ptr<test::RecordingManager> manager = std::make_shared<test::RecordingManager>();
    std::shared_ptr<test::RecordingPeerDelegate> delegate = std::make_shared<test::RecordingPeerDelegate>();
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<KLNetSocket> handoff;
    std::shared_ptr<TunnexRemotePeer> record;
};

// The responder's whole attempt over a fresh socket: sprayed AHOYs, a confirmation from the
// socket the remote's AHOY reached, and the completion over it, whether the remote's ACCEPT
// arrives or is lost (then the remote's transport handshake stands in for it).
void HolePunch::responderCompletesOnAFreshSocket(bool acceptArrives) {
    startAttempt(transaction(false));
    // The first AHOY leaves the handoff socket for the advertised address.
    auto first = remote.receive(5s);
    ASSERT_TRUE(first);
    EXPECT_TRUE(fromHandoff(*first));
    const TunnexAhoy ahoy = tunnexBuildAhoy(kTransaction, false);
    EXPECT_EQ(first->bytes, Bytes(ahoy.begin(), ahoy.end()));
    EXPECT_TRUE(test::waitFor([&] { return peer->connectionStatus() == TunnexTunnelConnecting; }));
    EXPECT_EQ(peer->stunPeer(), record);

    // The remote's AHOY reaching a fresh socket is answered with a confirmation record from that
    // socket; a stray datagram there opens nothing.
    auto fresh = remote.receiveMatching([&](const auto& d) { return !fromHandoff(d); }, 5s);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->bytes, Bytes(ahoy.begin(), ahoy.end()));
    remote.send({'h', 'i'}, fresh->from);
    const TunnexAhoy remoteAhoy = tunnexBuildAhoy(kTransaction, true);
    remote.send(Bytes(remoteAhoy.begin(), remoteAhoy.end()), fresh->from);
    auto confirm = remote.receiveMatching([&](const auto& d) { return d.bytes.size() == kTunnexAcknowledgementLength; }, 5s);
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->port(), fresh->port());
    const TunnexAcknowledgement expected = tunnexBuildAcknowledgement(kTransaction, kTunnexPeerConfirmMsg, "punch-test-uuid");
    EXPECT_EQ(confirm->bytes, Bytes(expected.begin(), expected.end()));
    EXPECT_EQ(peer->connectionAttempts().count(remoteSenderText()), 1u);

    // The acceptance on that socket completes the connection over it: UDT takes the socket and
    // connects the main channel, which says first whether this side wants encryption.
    const TunnexAcknowledgement accept = tunnexBuildAcknowledgement(kTransaction, kTunnexPeerAcceptMsg, "remote-uuid");
    if (acceptArrives) remote.send(Bytes(accept.begin(), accept.end()), fresh->from);
    sockaddr_storage freshAddress{};
    std::memcpy(&freshAddress, &fresh->from, sizeof fresh->from);
    Result<int> remoteChannel = openUDTChannel(remote.release(), freshAddress, TunnexChannelMode::Message, 10s);
    ASSERT_TRUE(remoteChannel) << remoteChannel.error().description();
    char message[64];
    const int received = UDT::recvmsg(*remoteChannel, message, sizeof message);
    EXPECT_EQ(Bytes(message, message + std::max(received, 0)), test::bytesFromHex("02a401010007"));

    waitForAttempt();
    ASSERT_TRUE(test::waitFor([&] { return layer->pendingCompletions() == 0; }));
    EXPECT_EQ(logCount("Queueing complete connection with peer"), 1u);
    EXPECT_TRUE(memoryLogContains("Connection successful!"));
    EXPECT_TRUE(peer->handoffComplete());
    EXPECT_NE(peer->mainChannel(), nullptr);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelEncrypting);
    EXPECT_EQ(manager->statusReports(), (std::vector<std::pair<std::string, TunnexTunnelStatus>>{
                                            {"remote-uuid", TunnexTunnelConnecting},
                                            {"remote-uuid", TunnexTunnelEncrypting}}));
    EXPECT_EQ(delegate->failed.load(), 0);
    peer->teardownConnection();
    UDT::close(*remoteChannel);
    // The teardown reports on the global queue: it must land here, not in the next test's manager.
    EXPECT_TRUE(test::waitFor([&] { return manager->statusReports().size() == 3; }));
}

TEST_F(HolePunch, ResponderSpraysAndConfirmsFromAFreshSocket) { responderCompletesOnAFreshSocket(true); }

TEST_F(HolePunch, ResponderWhoseAcceptanceIsLostCompletesOnTheRemotesTransport) {
    responderCompletesOnAFreshSocket(false);
}

TEST_F(HolePunch, TwoConfirmationsAtOnceCompleteOnce) {
    startAttempt(transaction(true));
    auto fresh = remote.receiveMatching([&](const auto& d) { return !fromHandoff(d); }, 5s);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->bytes[0], 0xCE);  // the originator's AHOY
    const TunnexAhoy remoteAhoy = tunnexBuildAhoy(kTransaction, false);
    remote.send(Bytes(remoteAhoy.begin(), remoteAhoy.end()), fresh->from);
    // The originator's fresh socket answers with an AHOY and waits for a confirmation.
    ASSERT_TRUE(remote.receiveMatching(
        [&](const auto& d) { return d.port() == fresh->port() && d.bytes.size() == kTunnexAhoyLength; }, 5s));
    ASSERT_TRUE(test::waitFor([&] { return layer->runningConfirmationWaits() == 1; }));

    // The remote confirms on both paths at the same moment.
    const TunnexAcknowledgement confirm = tunnexBuildAcknowledgement(kTransaction, kTunnexPeerConfirmMsg, "remote-uuid");
    sockaddr_in toHandoff{};
    toHandoff.sin_family = AF_INET;
    toHandoff.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    toHandoff.sin_port = htons(handoff->localPort());
    remote.send(Bytes(confirm.begin(), confirm.end()), toHandoff);
    remote.send(Bytes(confirm.begin(), confirm.end()), fresh->from);

    // Whichever path comes first accepts (from its own socket) and completes; the other is refused:
    // a fresh socket's wait is told the completion was dispatched already, the handoff socket's
    // dispatcher ignores a datagram after the connection was settled.
    const auto refusals = [] {
        return logCount("Have already dispatched completeConnectionWithPeer:") +
               logCount("after the connection was settled; ignored");
    };
    EXPECT_TRUE(test::waitFor([&] { return refusals() == 1; }));
    std::set<uint16_t> acceptingPorts;
    while (auto datagram = remote.receiveMatching([](const auto& d) { return d.bytes.size() == kTunnexAcknowledgementLength; }, 1s)) {
        EXPECT_EQ(classifyTunnexDatagram(datagram->bytes).kind, TunnexDatagramKind::Accept);
        acceptingPorts.insert(datagram->port());
    }
    EXPECT_FALSE(acceptingPorts.empty());
    for (uint16_t port : acceptingPorts) EXPECT_TRUE(port == handoff->localPort() || port == fresh->port()) << port;
    waitForAttempt();
    EXPECT_EQ(logCount("Queueing complete connection with peer"), 1u);
    EXPECT_EQ(refusals(), 1u);
    EXPECT_TRUE(peer->connectionCompletionInitiated());
    // The scripted remote speaks no UDT: the one completion fails, once.
    ASSERT_TRUE(test::waitFor([&] { return layer->pendingCompletions() == 0; }, 20s));
    EXPECT_TRUE(memoryLogContains("Main channel connect failed due to error"));
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
}

TEST_F(HolePunch, ManyAnsweredFreshSocketsWaitWithoutAThreadEach) {
    // The remote answers a batch of the responder's fresh sockets at once, so that one poll of the
    // attempt answers them all: every one then waits for its confirmation, and the waits share
    // one thread however many there are.
    constexpr size_t kAnswered = 24;
    const size_t threadsBefore = test::threadCount();
    startAttempt(transaction(false));
    std::set<uint16_t> freshPorts;
    std::vector<sockaddr_in> freshAddresses;
    while (freshPorts.size() < kAnswered) {
        auto datagram = remote.receiveMatching([&](const auto& d) { return !fromHandoff(d); }, 5s);
        ASSERT_TRUE(datagram);
        if (freshPorts.insert(datagram->port()).second) freshAddresses.push_back(datagram->from);
    }
    const TunnexAhoy remoteAhoy = tunnexBuildAhoy(kTransaction, true);
    for (const auto& address : freshAddresses) remote.send(Bytes(remoteAhoy.begin(), remoteAhoy.end()), address);
    ASSERT_TRUE(test::waitFor([&] { return layer->runningConfirmationWaits() >= kAnswered; }));
    const size_t waits = layer->runningConfirmationWaits();
    const size_t threadsWaiting = test::threadCount();
    std::printf("%zu confirmation waits open: %zu threads before the attempt, %zu while they wait\n", waits,
                threadsBefore, threadsWaiting);
    EXPECT_LE(threadsWaiting, threadsBefore + 1);
    // The silent remote lets every wait run out, each closing its socket.
    EXPECT_TRUE(test::waitFor([&] { return layer->runningConfirmationWaits() == 0; }, 20s));
    waitForAttempt();
    EXPECT_EQ(delegate->failed.load(), 1);
}

TEST_F(HolePunch, KnownAddressGetsRepeatedAhoysUntilTheAttemptsDeadline) {
    // No spraying toward a remote whose address is known: the AHOY is repeated toward it from the
    // handoff socket (a lost answer is made good by the next), and an attempt that never reaches
    // its completion fails once at its deadline, reporting status 0.
    record->setHasPeerAddress(true);
    const auto started = std::chrono::steady_clock::now();
    startAttempt(transaction(true));
    size_t repeats = 0;
    while (auto datagram = remote.receive(1s)) {
        EXPECT_TRUE(fromHandoff(*datagram));
        EXPECT_EQ(classifyTunnexDatagram(datagram->bytes).kind, TunnexDatagramKind::Hello);
        ++repeats;
    }
    waitForAttempt();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_GE(repeats, 10u);
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    EXPECT_EQ(manager->statusReports(), (std::vector<std::pair<std::string, TunnexTunnelStatus>>{
                                            {"remote-uuid", TunnexTunnelConnecting},
                                            {"remote-uuid", TunnexTunnelDisconnected}}));
    EXPECT_TRUE(manager->transactionForTransactionId(kTransaction)->isComplete());
}

TEST_F(HolePunch, SilentRemoteFailsOnceAndClosesEveryFreshSocket) {
    const size_t descriptorsBefore = test::openDescriptorCount();
    startAttempt(transaction(true));
    std::set<uint16_t> freshPorts;
    size_t fromHandoffToAdvertised = 0;
    // Until the attempt has failed and a second of silence followed: a loaded machine may pause
    // longer than that between rounds.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto datagram = remote.receive(1s);
        if (!datagram) {
            if (delegate->failed.load() > 0) break;
            continue;
        }
        if (fromHandoff(*datagram)) {
            ++fromHandoffToAdvertised;
        } else {
            freshPorts.insert(datagram->port());
        }
    }
    waitForAttempt();
    // One fresh socket per round; the handoff socket aims at the advertised port first and in the
    // first 16 rounds only.
    EXPECT_EQ(freshPorts.size(), 64u);
    EXPECT_EQ(fromHandoffToAdvertised, 17u);
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(manager->failures.load(), 1);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    // Not one more than before (a descriptor of an earlier test may have gone meanwhile).
    EXPECT_LE(test::openDescriptorCount(), descriptorsBefore);
}

TEST_F(HolePunch, AnsweredFreshSocketIsLetGoWhenItsWaitRunsOut) {
    // The peer goes on knowing which sender was answered, but the answering socket (its datagram
    // descriptor and its wake descriptor) is gone with its wait and the failed attempt, while the
    // peer itself lives on.
    const size_t descriptorsBefore = test::openDescriptorCount();
    startAttempt(transaction(true));
    auto fresh = remote.receiveMatching([&](const auto& d) { return !fromHandoff(d); }, 5s);
    ASSERT_TRUE(fresh);
    const TunnexAhoy remoteAhoy = tunnexBuildAhoy(kTransaction, false);
    remote.send(Bytes(remoteAhoy.begin(), remoteAhoy.end()), fresh->from);
    ASSERT_TRUE(test::waitFor([&] { return layer->runningConfirmationWaits() == 1; }));
    EXPECT_TRUE(test::waitFor([&] { return layer->runningConfirmationWaits() == 0; }, 20s));
    EXPECT_TRUE(test::waitFor([&] { return delegate->failed.load() > 0; }, 20s));
    waitForAttempt();
    EXPECT_EQ(peer->connectionAttempts().count(remoteSenderText()), 1u);
    EXPECT_LE(test::openDescriptorCount(), descriptorsBefore);
}

TEST_F(HolePunch, OwnAhoyOnAFreshSocketOpensNoPath) {
    // An AHOY in this side's role is its own, come back to another of its sockets: it names the
    // transaction and comes from an invited address, yet nothing answers it and no wait opens.
    startAttempt(transaction(true));
    auto fresh = remote.receiveMatching([&](const auto& d) { return !fromHandoff(d); }, 5s);
    ASSERT_TRUE(fresh);
    const TunnexAhoy ownAhoy = tunnexBuildAhoy(kTransaction, true);
    remote.send(Bytes(ownAhoy.begin(), ownAhoy.end()), fresh->from);
    EXPECT_TRUE(test::waitFor([&] { return memoryLogContains("on a fresh socket ignored"); }));
    waitForAttempt();
    EXPECT_EQ(logCount("Received AUX HELLO"), 0u);
    EXPECT_TRUE(peer->connectionAttempts().empty());
    EXPECT_EQ(delegate->failed.load(), 1);
}

TEST_F(HolePunch, RunningOutOfDescriptorsFailsCleanly) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const size_t descriptorsBefore = test::openDescriptorCount();
    if (descriptorsBefore + 8 > 64) GTEST_SKIP() << descriptorsBefore << " descriptors already open";
    rlimit limited = saved;
    limited.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
    layer->connectWithTransaction(peer, transaction(true));
    waitForAttempt();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_TRUE(memoryLogContains("Error allocating socket for connection"));
    EXPECT_TRUE(peer->cancel());
    EXPECT_EQ(delegate->failed.load(), 1);
    EXPECT_EQ(manager->failures.load(), 1);
    EXPECT_EQ(peer->connectionStatus(), TunnexTunnelDisconnected);
    // Not one more than before (a descriptor of an earlier test may have gone meanwhile).
    EXPECT_LE(test::openDescriptorCount(), descriptorsBefore);
    // The sockets made before the limit was reached were used and let go.
    std::set<uint16_t> freshPorts;
    while (auto datagram = remote.receive(200ms)) {
        if (!fromHandoff(*datagram)) freshPorts.insert(datagram->port());
    }
    EXPECT_GT(freshPorts.size(), 0u);
    EXPECT_LT(freshPorts.size(), 64u);
}

TEST_F(HolePunch, SendersRefuseWithoutTransaction) {
    layer->ahoySocket(handoff, nullptr);
    layer->acknowledgeSocket(handoff, nullptr, kTunnexPeerConfirmMsg);
    EXPECT_TRUE(memoryLogContains("Did not send AHOY: transaction is nil"));
    EXPECT_TRUE(memoryLogContains("Did not send acknowledgement: transaction is nil"));
    // The short words go where they are sent.
    sockaddr_in to{};
    const sockaddr_storage address = remote.address();
    std::memcpy(&to, &address, sizeof to);
    layer->helloSocket(handoff, record, to, true);
    layer->confirmSocket(handoff, record, to);
    layer->acceptSocket(handoff, record, to);
    std::multiset<Bytes> words;
    while (words.size() < 3) {
        auto datagram = remote.receive(2s);
        if (!datagram) break;
        words.insert(datagram->bytes);
    }
    EXPECT_EQ(words, (std::multiset<Bytes>{{0xFE, 0xCA}, {0x0D, 0xF0}, {0xED, 0xFE}}));
}

}  // namespace
}  // namespace kl

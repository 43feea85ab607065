// The peer's dispatcher fed by a scripted remote: each row is one datagram from one sender, with
// the answers the dispatcher hands to the hole-punch layer and the state it leaves.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "PeerTestSupport.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"
#include "platform/Executors.h"
#include "tunnel/protocol/TunnexDatagramClass.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

Bytes word(uint16_t magic) { return {uint8_t(magic), uint8_t(magic >> 8)}; }

Bytes record(uint16_t magic, int64_t transaction, const std::string& uuid = {}) {
    Bytes bytes(uuid.empty() && (magic == 0xFACE || magic == 0xBABE) ? 24 : 76, 0);
    bytes[0] = uint8_t(magic), bytes[1] = uint8_t(magic >> 8);
    for (int i = 0; i < 8; ++i) bytes[4 + i] = uint8_t(uint64_t(transaction) >> (8 * i));
    std::copy(uuid.begin(), uuid.end(), bytes.begin() + 12);
    return bytes;
}

Bytes cut(Bytes bytes, size_t length) {
    bytes.resize(length);
    return bytes;
}

sockaddr_in from(uint16_t port, const char* host = "192.0.2.10") {
    auto storage = test::ipv4Address(host, port);
    sockaddr_in address;
    std::memcpy(&address, &storage, sizeof address);
    return address;
}

class DispatchPeer : public ::testing::Test {
protected:
    void SetUp() override {
        setTunnexPeerManager(manager);
        setTunnexPeerConnectionLayer(layer);
        setLoggingLevel(kKLTLoggingLevelDebug);
        TunnexPeer::resetServerNonce();
        peer = TunnexPeer::init();
        peer->setPrivateKey(test::bytesFromHex(test::kPeerKeyHex));
        handoff = KLNetSocket::initWithFamily(AF_INET);
        ASSERT_TRUE(handoff->startListeningForDatagramsOnPort(peer, 0));
        ASSERT_TRUE(test::waitFor([&] { return handoff->localPort() != 0; }));
        peer->setHandoffSocket(handoff);
        stun = std::make_shared<TunnexRemotePeer>();
        peer->setStunPeer(stun);
    }
    void TearDown() override {
        setTunnexPeerManager(nullptr);
        setTunnexPeerConnectionLayer(nullptr);
        setLoggingLevel(kKLTLoggingLevelInfo);
    }
    // Hands the datagram over as the socket's loop would; the handling runs on the peer's queue.
    void post(KLNetSocket& socket, const Bytes& datagram, const sockaddr_in& sender) {
        KLNetDatagram data{std::span<const uint8_t>(datagram.data(), datagram.size()), nullptr};
        peer->datagramReceivedForSocketFromAddress(socket, data, reinterpret_cast<const sockaddr*>(&sender),
                                                   sizeof sender);
    }
    // The same, and waits until the queue has handled it.
    void deliver(KLNetSocket& socket, const Bytes& datagram, const sockaddr_in& sender) {
        post(socket, datagram, sender);
        peer->queue().sync([] {});
    }

    std::shared_ptr<test::RecordingManager> manager = std::make_shared<test::RecordingManager>();
    std::shared_ptr<test::RecordingConnectionLayer> layer = std::make_shared<test::RecordingConnectionLayer>();
    std::shared_ptr<TunnexPeer> peer;
    std::shared_ptr<KLNetSocket> handoff;
    std::shared_ptr<TunnexRemotePeer> stun;
};

// The attempt under way: a transaction toward stun whose invitation named 127.0.0.1 and
// 192.0.2.10 (any port).
std::shared_ptr<TunnexTransaction> invite(test::RecordingManager& manager, int64_t id, bool originator,
                                          const std::shared_ptr<TunnexRemotePeer>& stun) {
    auto transaction = manager.originate(id, stun);
    transaction->setIsOriginator(originator);
    transaction->addInvitedAddress(test::ipv4Address("127.0.0.1", 0));
    transaction->addInvitedAddress(test::ipv4Address("192.0.2.10", 0));
    stun->setAttemptTransactionId(id);
    return transaction;
}

sockaddr_in stranger(uint16_t port) { return from(port, "198.51.100.7"); }

TEST_F(DispatchPeer, ScriptedRemote) {
    stun->setUUID("invited-uuid");
    auto transaction = invite(*manager, 600, true, stun);
    auto inviteDelegate = std::make_shared<test::RecordingInviteDelegate>();
    peer->setInviteDelegate(inviteDelegate);
    const Bytes key = peer->privateKey();

    // The first row travels over real UDP to the handoff socket.
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(handoff->localPort());
        Bytes ahoy = record(0xBABE, 600);
        ::sendto(fd, ahoy.data(), ahoy.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ASSERT_TRUE(test::waitFor([&] { return !peer->connectionAttempts().empty(); }));
        peer->queue().sync([] {});
        ::close(fd);
        EXPECT_EQ(layer->takeCalls(), std::vector<std::string>{"ahoy 600"});
        EXPECT_EQ(stun->tunnelSocket(), handoff);
        EXPECT_TRUE(stun->hasPeerAddress());
    }

    struct Row {
        const char* what;
        Bytes datagram;
        sockaddr_in sender;
        std::vector<std::string> calls;
        const char* logLine;
        std::function<void()> before = {};
        std::function<void()> check = {};
    };
    const auto unmoved = [&](uint16_t port) {
        return [&, port] {
            EXPECT_NE(stun->port(), port);
            EXPECT_FALSE(peer->handshakeConfirmed());
            EXPECT_FALSE(handoff->cancel());
        };
    };
    const std::vector<Row> rows = {
        {"an AHOY of the attempt from a sender the invitation did not name", record(0xBABE, 600), stranger(999), {},
         "the invitation did not name the sender", {}, unmoved(999)},
        {"a HELLO word names no transaction", word(0xBEEF), from(1001), {}, "a short word names no transaction", {},
         unmoved(1001)},
        {"a CONFIRM word neither", word(0xF00D), from(1001), {}, "a short word names no transaction", {}, unmoved(1001)},
        {"nor an ACCEPT word", word(0xFEED), from(1001), {}, "a short word names no transaction", {}, unmoved(1001)},
        {"an AHOY of an unknown transaction", record(0xBABE, 700), from(1005), {},
         "No matching transaction instance for transactionId: 700", {}, unmoved(1005)},
        {"an AHOY of the attempt is returned", record(0xBABE, 600), from(1004), {"ahoy 600"}, nullptr, {},
         [&] { EXPECT_TRUE(peer->connectionAttempts().count("192.0.2.10:1004")); }},
        {"and returned again: the first answer may have been lost", record(0xBABE, 600), from(1004), {"ahoy 600"},
         nullptr},
        {"with cancel set an AHOY only moves the remote", record(0xBABE, 600), from(1003), {}, nullptr,
         [&] { peer->setCancel(true); },
         [&] {
             EXPECT_EQ(stun->port(), 1003);
             EXPECT_FALSE(peer->connectionAttempts().count("192.0.2.10:1003"));
             peer->setCancel(false);
         }},
        {"accept record while not waiting for acceptance does nothing", record(0xD00D, 600, "x"), from(1004), {}, nullptr,
         {}, [&] { EXPECT_FALSE(memoryLogContains("Canceling listening on tunnel socket")); }},
        {"a forged confirm record does not use up the real one", record(0xDEED, 600, "forged"), stranger(999), {},
         "the invitation did not name the sender", {}, unmoved(999)},
        {"first confirm record: the originator accepts and completes, UUID from the invitation",
         record(0xDEED, 600, "their-uuid"), from(1004), {"ack d00d 600", "complete invited-uuid"},
         "Received CONFIRM message.  Peer is coming from 192.0.2.10:1004", {},
         [&] {
             EXPECT_TRUE(peer->handshakeConfirmed());
             EXPECT_TRUE(transaction->isWaitingForAcceptance());
             EXPECT_EQ(stun->UUID(), "invited-uuid");
         }},
        {"a further confirm record is only logged", record(0xDEED, 600, "their-uuid"), from(1004), {},
         "Received additional CONFIRM message.  Peer is coming from 192.0.2.10:1004"},
        {"accept record now completes", record(0xD00D, 600, "acc-uuid"), from(1004), {"complete invited-uuid"},
         "Canceling listening on tunnel socket", {}, [&] { EXPECT_TRUE(handoff->cancel()); }},
        {"a record of a finished transaction changes nothing", record(0xD00D, 600, "acc-uuid"), from(1009), {},
         "the transaction is done", [&] { transaction->finish(); }, [&] { EXPECT_NE(stun->port(), 1009); }},
        {"80 00 is a UDT handshake", Bytes{0x80, 0x00}, from(1007), {}, "Received UDT handshake message"},
        {"12 34 is unexpected", Bytes{0x12, 0x34}, from(1007), {}, "Unexpected packet: 1234"},
        {"a 5-byte AHOY is unexpected", Bytes{0xCE, 0xFA, 0, 0, 1}, from(1007), {}, "Unexpected packet: cefa"},
        {"a confirm record cut inside its UUID is unexpected", cut(record(0xDEED, 600, "abcdef"), 15),
         from(1007), {}, "Unexpected packet: edde"},
        {"a pong on a socket that is not the ping socket is dropped", tunnexSealReply(1, key, Bytes(20, 0)).value(),
         from(1008), {}, "Pong on a socket that is not the active ping socket; dropped"},
        {"an invitation there is handled", tunnexSealReply(2, key, [] {
             Bytes b(87, 0);
             b[0] = 1, b[5] = 55, b[13] = 1;
             return b;
         }()).value(),
         from(1008), {"cancel 0"}, "External address does not hail from AF_INET", {},
         [&] { EXPECT_EQ(inviteDelegate->invites.load(), 1); }},
        {"a reply with a replayed nonce is dropped", tunnexSealReply(2, key, Bytes(20, 0)).value(), from(1008), {},
         "Server repeated nonce 2"},
    };
    for (const Row& row : rows) {
        clearMemoryLog();
        if (row.before) row.before();
        deliver(*handoff, row.datagram, row.sender);
        EXPECT_EQ(layer->takeCalls(), row.calls) << row.what;
        if (row.logLine) {
            EXPECT_TRUE(memoryLogContains(row.logLine)) << row.what;
        }
        if (row.check) row.check();
    }
}

TEST_F(DispatchPeer, ResponderTakesTheOriginatorsTransportAsItsLostAcceptance) {
    stun->setUUID("invited-uuid");
    invite(*manager, 800, false, stun);
    deliver(*handoff, record(0xFACE, 800), from(1010));
    EXPECT_EQ(layer->takeCalls(), std::vector<std::string>{"ack deed 800"});
    const Bytes udtHandshake{0x80, 0x00, 0x00, 0x00};
    // Only from the very endpoint this side confirmed.
    deliver(*handoff, udtHandshake, from(1011));
    deliver(*handoff, udtHandshake, stranger(1010));
    EXPECT_TRUE(layer->takeCalls().empty());
    EXPECT_FALSE(handoff->cancel());
    deliver(*handoff, udtHandshake, from(1010));
    EXPECT_EQ(layer->takeCalls(), std::vector<std::string>{"complete invited-uuid"});
    EXPECT_TRUE(handoff->cancel());
}

TEST_F(DispatchPeer, HandshakeWithoutAttemptOrLayerChangesNothing) {
    invite(*manager, 600, true, stun);
    peer->setStunPeer(nullptr);
    clearMemoryLog();
    deliver(*handoff, record(0xBABE, 600), from(2000));
    deliver(*handoff, record(0xDEED, 600, "u"), from(2000));
    EXPECT_TRUE(memoryLogContains("no attempt under way"));
    EXPECT_TRUE(layer->takeCalls().empty());

    setTunnexPeerConnectionLayer(nullptr);
    peer->setStunPeer(stun);
    deliver(*handoff, record(0xBABE, 600), from(2001));
    deliver(*handoff, record(0xDEED, 600, "u"), from(2001));
    EXPECT_TRUE(memoryLogContains("dropped: no hole-punch layer"));
    EXPECT_TRUE(peer->connectionAttempts().empty());
    EXPECT_FALSE(peer->handshakeConfirmed());
    EXPECT_EQ(stun->port(), 0);
}

TEST_F(DispatchPeer, ForwardSocketDatagramsAreRelayedOnTheMainChannel) {
    auto forward = KLNetSocket::initWithFamily(AF_INET);
    forward->setTag(258);
    deliver(*forward, Bytes{0xAA, 0xBB}, from(3000));
    {
        std::lock_guard lock(layer->mutex);
        ASSERT_EQ(layer->mainChannelMessages.size(), 1u);
        EXPECT_EQ(layer->mainChannelMessages[0], test::bytesFromHex("02a40101000302010000aabb"));
    }
    // An encrypting tunnel whose keys are not agreed yet drops the datagram.
    peer->setUsingEncryption(true);
    deliver(*forward, Bytes{0xAA, 0xBB}, from(3000));
    std::lock_guard lock(layer->mutex);
    EXPECT_EQ(layer->mainChannelMessages.size(), 1u);
}

// The senders' texts of the handled datagrams, in the order the queue logged them.
std::vector<std::string> handledSenders() {
    std::vector<std::string> senders;
    for (const std::string& line : memoryLogLines()) {
        for (const char* lead : {"Received HELLO message.  Peer is coming from ", "Received ACCEPT message.  Peer is coming from "}) {
            const size_t at = line.find(lead);
            if (at != std::string::npos) senders.push_back(line.substr(at + std::strlen(lead)));
        }
    }
    return senders;
}

TEST_F(DispatchPeer, DatagramsFromSeveralThreadsAreHandledOnTheQueueInArrivalOrder) {
    // Four loop threads hand datagrams over at once; the words that may end a loop (an ACCEPT
    // word) are waited for, the others posted. Whatever the mix, the queue handles them one at a
    // time in the order they were handed over.
    invite(*manager, 600, false, stun);
    clearMemoryLog();
    std::mutex arrivalMutex;
    std::vector<std::string> arrival;
    std::atomic<int> running{0}, overlaps{0};
    std::vector<std::thread> loops;
    for (int thread = 0; thread < 4; ++thread) {
        loops.emplace_back([&, thread] {
            for (int i = 0; i < 50; ++i) {
                const uint16_t port = uint16_t(4000 + thread * 100 + i);
                const Bytes datagram = i % 10 == 9 ? word(0xFEED) : record(0xBABE, 600);
                // The arrival is the moment of the hand-over, taken under one lock with it.
                std::lock_guard lock(arrivalMutex);
                arrival.push_back("192.0.2.10:" + std::to_string(port));
                post(*handoff, datagram, from(port));
            }
        });
    }
    // Meanwhile work of the queue's own checks that nothing of the peer runs beside it.
    for (int i = 0; i < 100; ++i) {
        peer->postToQueue([&](const std::shared_ptr<TunnexPeer>&) {
            if (running.fetch_add(1) != 0) ++overlaps;
            std::this_thread::sleep_for(50us);
            running.fetch_sub(1);
        });
    }
    for (auto& loop : loops) loop.join();
    peer->queue().sync([] {});
    EXPECT_EQ(handledSenders(), arrival);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(peer->connectionAttempts().size(), 4u * 45u);
}

TEST_F(DispatchPeer, APeerDestroyedWithWorkQueuedRunsNoneOfIt) {
    invite(*manager, 600, false, stun);
    clearMemoryLog();
    // The queue is held up by work that holds no reference to the peer.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> drained{false};
    peer->queue().async([released] { released.wait(); });
    for (uint16_t port = 5000; port < 5010; ++port) post(*handoff, record(0xBABE, 600), from(port));
    peer->queue().async([&] { drained = true; });

    std::weak_ptr<TunnexPeer> weak = peer;
    peer.reset();
    handoff.reset();
    // The socket's loop holds the peer for a moment in each of its passes.
    EXPECT_TRUE(test::waitFor([&] { return weak.expired(); }, 5s));
    release.set_value();
    ASSERT_TRUE(test::waitFor([&] { return drained.load(); }));
    EXPECT_TRUE(handledSenders().empty());
    EXPECT_TRUE(layer->takeCalls().empty());
    EXPECT_FALSE(stun->hasPeerAddress());
}

TEST_F(DispatchPeer, LoopsNeverCallADestroyedPeer) {
    // A second socket of the peer (as a datagram forward's would be), fed from another thread while
    // the last reference to the peer goes away.
    auto forward = KLNetSocket::initWithFamily(AF_INET);
    ASSERT_TRUE(forward->startListeningForDatagramsOnPort(peer, 0));
    ASSERT_TRUE(test::waitFor([&] { return forward->localPort() != 0; }));
    std::atomic<bool> stop{false};
    std::thread blaster([&] {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const uint16_t ports[2] = {forward->localPort(), handoff->localPort()};
        Bytes datagram = {0x12, 0x34};
        for (int i = 0; !stop; ++i) {
            to.sin_port = htons(ports[i % 2]);
            ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (i % 64 == 0) std::this_thread::sleep_for(1ms);
        }
        ::close(fd);
    });
    std::this_thread::sleep_for(50ms);
    std::weak_ptr<TunnexPeer> weak = peer;
    peer.reset();
    handoff.reset();  // the peer's destruction closed it
    // A callback running at this moment holds the peer until it returns.
    EXPECT_TRUE(test::waitFor([&] { return weak.expired(); }, 5s));
    EXPECT_TRUE(test::waitFor([&] { return !forward->isListening(); }, 5s));
    stop = true;
    blaster.join();
}

}  // namespace
}  // namespace kl

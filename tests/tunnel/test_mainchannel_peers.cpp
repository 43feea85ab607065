// Two tunnel peers in one process, their main channels a UDT pair over two loopback UDP sockets
// (as two punched peers have them), polled by the real socket manager, reporting to a real tunnel
// manager.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "UdtTestSupport.h"
#include "foundation/KLTLogging.h"
#include "support/TestEnvironment.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"

namespace kl {
namespace {

using Type = TunnexMainChannelMessageType;

class Reports : public TunnexRemoteManagerDelegate, public TunnexPeerDelegate {
public:
    void reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus status) override {
        std::lock_guard lock(mutex_);
        statuses_.push_back({uuid, int(status)});
    }
    void reportTimeoutForUUID(const std::string&) override {}
    void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                            const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                                 const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>&,
                                              const std::shared_ptr<TunnexRemotePeer>&) override {}
    void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>&, const ForwardSuccessResult& result,
                                     const std::shared_ptr<TunnexRemotePeer>&) override {
        std::lock_guard lock(mutex_);
        results_.push_back(result);
    }
    bool reported(const std::string& uuid, int status) {
        std::lock_guard lock(mutex_);
        for (const auto& entry : statuses_) {
            if (entry == std::make_pair(uuid, status)) return true;
        }
        return false;
    }
    std::vector<ForwardSuccessResult> results() {
        std::lock_guard lock(mutex_);
        return results_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, int>> statuses_;
    std::vector<ForwardSuccessResult> results_;
};

size_t logCount(const std::string& text) {
    size_t count = 0;
    for (const auto& line : memoryLogLines()) count += line.find(text) != std::string::npos;
    return count;
}

class MainChannelPeers : public ::testing::Test {
protected:
    void SetUp() override {
        TunnexPeer::initialize();
        previousLevel_ = loggingLevel();
        setLoggingLevel(kKLTLoggingLevelVerbose);
        clearMemoryLog();
        manager = TunnexRemoteManager::create();
        manager->setDelegate(reports);
        setTunnexPeerManager(manager);
    }
    void TearDown() override {
        for (auto& peer : {peerA, peerB}) {
            if (peer) peer->disconnectFromPeers();
        }
        setTunnexPeerManager(nullptr);
        manager->connectivityChanged();
        setLoggingLevel(previousLevel_);
    }

    // Both peers with their wishes, each holding a record of the other, main channels taken.
    void connect(bool wishA, bool wishB) {
        peerA = TunnexPeer::initUsingEncryption(wishA);
        peerB = TunnexPeer::initUsingEncryption(wishB);
        for (auto [peer, uuid] : {std::pair{peerA, "uuid-of-b"}, std::pair{peerB, "uuid-of-a"}}) {
            auto record = std::make_shared<TunnexRemotePeer>();
            record->setUUID(uuid);
            peer->setStunPeer(record);
            peer->setDelegate(reports);
            manager->assignPeerToRemote(peer, record);
        }
        auto [udtA, udtB] = udp.open(TunnexChannelMode::Message);
        ASSERT_GT(udtA, 0);
        ASSERT_GT(udtB, 0);
        channelA = TunnexSocketImpl::create(udtA);
        channelB = TunnexSocketImpl::create(udtB);
        peerA->takeMainChannel(channelA);
        peerB->takeMainChannel(channelB);
    }
    bool bothAt(TunnexTunnelStatus status) {
        return test::waitFor([&] { return peerA->connectionStatus() == status && peerB->connectionStatus() == status; });
    }
    // Sends raw bytes from B's side and waits until A has read them.
    void sendFromB(const Bytes& message) {
        const size_t before = logCount("Received packet of type");
        ASSERT_EQ(channelB->sendMessage(message, 10.0, nullptr), message.size());
        ASSERT_TRUE(test::waitFor([&] { return logCount("Received packet of type") > before; }));
    }

    test::UdpPeers udp;
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();
    std::shared_ptr<TunnexRemoteManager> manager;
    std::shared_ptr<TunnexPeer> peerA, peerB;
    std::shared_ptr<TunnexSocketImpl> channelA, channelB;

private:
    int32_t previousLevel_ = 1;
};

struct Wishes {
    bool a, b;
};

class EncryptionWishes : public MainChannelPeers, public ::testing::WithParamInterface<Wishes> {};

TEST_P(EncryptionWishes, EveryCombinationConnectsAndEncryptsOnlyWhenBothWant) {
    const Wishes wishes = GetParam();
    connect(wishes.a, wishes.b);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    const bool both = wishes.a && wishes.b;
    EXPECT_EQ(peerA->usingEncryption(), both);
    EXPECT_EQ(peerB->usingEncryption(), both);
    EXPECT_TRUE(peerA->connectionComplete());
    EXPECT_TRUE(test::waitFor([&] { return reports->reported("uuid-of-b", 5) && reports->reported("uuid-of-a", 5); }));
    if (both) {
        auto modelA = peerA->getEncryptor(), modelB = peerB->getEncryptor();
        EXPECT_TRUE(modelA->encryptionReady());
        EXPECT_TRUE(modelB->encryptionReady());
        EXPECT_EQ(modelA->getLocalCEK(), modelB->getRemoteCEK());
        EXPECT_EQ(modelB->getLocalIV(), modelA->getRemoteIV());
        // A data channel's bytes encrypted on one side come back on the other.
        TunnexStreamCipher out, in;
        const Bytes plain = {'p', 'i', 'n', 'g'};
        auto sealed = peerA->encryptSomeBytes(plain, out);
        ASSERT_TRUE(sealed);
        EXPECT_NE(*sealed, plain);
        EXPECT_EQ(peerB->decryptSomeBytes(*sealed, in), plain);
    } else {
        EXPECT_EQ(logCount("mainChannel - DHPublicKeyMsg message"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, EncryptionWishes,
                         ::testing::Values(Wishes{true, true}, Wishes{true, false}, Wishes{false, true},
                                           Wishes{false, false}),
                         [](const auto& info) {
                             return std::string(info.param.a ? "Yes" : "No") + (info.param.b ? "Yes" : "No");
                         });

// The remote acknowledges this side's public value before sending its own (as a remote that read
// this side's value ahead of its wish does): the wrapped key still goes out, once agreed.
TEST_F(MainChannelPeers, AKeyAcknowledgedBeforeAgreementIsSentOnceAgreed) {
    peerA = TunnexPeer::initUsingEncryption(true);
    auto record = std::make_shared<TunnexRemotePeer>();
    record->setUUID("uuid-of-b");
    peerA->setStunPeer(record);
    peerA->setDelegate(reports);
    manager->assignPeerToRemote(peerA, record);
    auto [udtA, udtB] = udp.open(TunnexChannelMode::Message);
    ASSERT_GT(udtA, 0);
    channelA = TunnexSocketImpl::create(udtA);
    channelB = TunnexSocketImpl::create(udtB);
    peerA->takeMainChannel(channelA);

    // B plays the remote by hand.
    auto next = [&] {
        Error error;
        auto bytes = channelB->recvMessage(10.0, &error);
        return bytes ? decodeTunnexMainChannelMessage(*bytes).message : TunnexMainChannelMessage{};
    };
    ASSERT_EQ(next().type, Type::WillEncryptMsg);
    ASSERT_EQ(channelB->sendMessage(tunnexMainChannelHeader(Type::WillEncryptMsg), 10.0, nullptr), 6u);
    const TunnexMainChannelMessage publicA = next();
    ASSERT_EQ(publicA.type, Type::DHPublicKeyMsg);
    TunnexEncryption remote;
    remote.initialize();
    const CryptoPP::SecByteBlock valueB = remote.getDHPublicKey();
    const Bytes& valueA = std::get<TunnexKeyMaterial>(publicA.body).bytes;
    ASSERT_TRUE(remote.updateWithOtherPublicKey(valueA.data(), valueA.size()));
    ASSERT_EQ(channelB->sendMessage(tunnexMainChannelHeader(Type::DHPublicKeyAck), 10.0, nullptr), 6u);
    const Bytes publicB = encodeTunnexKeyMessage(Type::DHPublicKeyMsg, valueB);
    ASSERT_EQ(channelB->sendMessage(publicB, 10.0, nullptr), publicB.size());

    EXPECT_EQ(next().type, Type::DHPublicKeyAck);
    const TunnexMainChannelMessage wrapped = next();
    ASSERT_EQ(wrapped.type, Type::DHEncryptedCEKMsg);
    const Bytes& keyA = std::get<TunnexKeyMaterial>(wrapped.body).bytes;
    EXPECT_TRUE(remote.updateWithOtherContentEncryptionKey(keyA.data(), keyA.size()));
    channelB->close();
}

// Once the keys are agreed, a wish or key material arriving on the channel (forged, or replayed)
// must not switch encryption off under the running channels or replace the remote's key.
TEST_F(MainChannelPeers, KeyExchangeMessagesAfterTheTunnelIsUpChangeNothing) {
    connect(true, true);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    ASSERT_TRUE(peerA->usingEncryption());
    const CryptoPP::SecByteBlock remoteIV = peerA->getEncryptor()->getRemoteIV();

    sendFromB(tunnexMainChannelHeader(Type::WontEncryptMsg));
    sendFromB(encodeTunnexKeyMessage(Type::DHEncryptedCEKMsg, Bytes(TunnexEncryption::kWrappedKeyLength, 0x5A)));
    sendFromB(tunnexMainChannelHeader(Type::DHPublicKeyAck));
    // Read messages are handled on the peer's queue, after the reader's line.
    EXPECT_TRUE(test::waitFor([&] { return logCount("has no place in the key exchange now") >= 3; }));

    EXPECT_TRUE(peerA->usingEncryption());
    EXPECT_EQ(peerA->getEncryptor()->getRemoteIV(), remoteIV);
    EXPECT_EQ(peerA->connectionStatus(), TunnexTunnelConnected);
    EXPECT_EQ(logCount("has no place in the key exchange now"), 3u);
}

TEST_F(MainChannelPeers, BadMessagesAreDroppedAndTheChannelStaysOpen) {
    connect(false, false);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));

    Bytes shortForward = tunnexMainChannelHeader(Type::AddForwardMsg);
    shortForward.resize(20, 'x');
    sendFromB(shortForward);
    // Another message (the encryption answer) may have been the one counted: wait for this line.
    EXPECT_TRUE(test::waitFor([] { return memoryLogContains("dropped AddForwardMsg message of 20 bytes"); }));

    Bytes unknown = tunnexMainChannelHeader(Type::Goodbye);
    unknown[5] = 200;
    sendFromB(unknown);
    EXPECT_TRUE(test::waitFor([] { return memoryLogContains("Received packet of type 200."); }));
    EXPECT_TRUE(memoryLogContains("mainChannel - unknown message"));

    // A wrong mark leaves no line at all; the life check behind it shows it was read and passed over.
    const size_t lines = memoryLogLines().size();
    ASSERT_EQ(channelB->sendMessage(Bytes{0xA4, 0x02, 1, 1, 0, 9}, 10.0, nullptr), 6u);
    sendFromB(tunnexMainChannelHeader(Type::LifeCheckMsg));
    EXPECT_TRUE(test::waitFor([] { return memoryLogContains("Received packet of type 12."); }));
    // Other threads (pings, the socket manager) may log meanwhile; only the reader's lines count.
    const auto after = memoryLogLines();
    for (size_t i = lines; i < after.size(); ++i) {
        EXPECT_EQ(after[i].find("mainChannel - "), std::string::npos) << after[i];
        const bool lifeCheck = after[i].find("Received packet of type 12.") != std::string::npos;
        EXPECT_TRUE(lifeCheck || after[i].find("Received packet of type") == std::string::npos) << after[i];
    }

    EXPECT_EQ(peerA->connectionStatus(), TunnexTunnelConnected);
    EXPECT_FALSE(channelA->isClosed());
    EXPECT_EQ(peerA->cancel(), false);
}

TEST_F(MainChannelPeers, ADatagramListenerThatCannotBindIsReportedAsFailed) {
    connect(true, true);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    sockaddr_storage address{};
    const int taken = test::UdpPeers::boundUdp(&address);
    const int takenPort = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    ASSERT_TRUE(peerB->sendMainChannelMessage(encodeTunnexRemoteUDPForward({uint16_t(takenPort), 0x77})));
    ASSERT_TRUE(test::waitFor([&] { return reports->results().size() == 1; }));
    auto results = reports->results();
    EXPECT_FALSE(results[0].success);
    EXPECT_EQ(results[0].forwardKind, uint8_t(TunnexForwardKind::RemoteDatagram));
    EXPECT_EQ(results[0].chanHash, 0x77u);
    EXPECT_EQ(peerA->connectionStatus(), TunnexTunnelConnected);
    EXPECT_EQ(peerA->datagramForwardCount(), 0u);
    ::close(taken);
}

TEST_F(MainChannelPeers, GoodbyeEndsBothSidesOnceAndASecondCancelSendsNothing) {
    connect(true, false);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    peerA->cancelConnection();
    peerA->cancelConnection();
    ASSERT_TRUE(bothAt(TunnexTunnelDisconnected));
    EXPECT_TRUE(test::waitFor([&] { return reports->reported("uuid-of-b", 0) && reports->reported("uuid-of-a", 0); }));
    EXPECT_TRUE(test::waitFor([&] { return channelA->isClosed() && channelB->isClosed(); }));
    EXPECT_EQ(logCount("mainChannel - Goodbye message"), 1u);
    EXPECT_FALSE(manager->peerForUUID("uuid-of-b"));
    EXPECT_FALSE(manager->peerForUUID("uuid-of-a"));
    peerB->disconnectFromPeers();  // the tunnel has ended: no goodbye goes back
    EXPECT_EQ(logCount("mainChannel - Goodbye message"), 1u);
}

TEST_F(MainChannelPeers, LifeCheckPassesWhileTheRemoteLivesAndFailsOnceItIsGone) {
    connect(false, true);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    peerA->mainChannelLifeCheck();
    ASSERT_TRUE(test::waitFor([&] { return memoryLogContains("Received packet of type 12."); }));
    EXPECT_EQ(peerA->connectionStatus(), TunnexTunnelConnected);
    EXPECT_EQ(peerB->connectionStatus(), TunnexTunnelConnected);

    channelB->close();  // the remote's end goes away
    EXPECT_TRUE(test::waitFor([&] {
        peerA->mainChannelLifeCheck();
        return memoryLogContains("Error sending mainChannel life check");
    }));
    EXPECT_TRUE(test::waitFor([&] { return peerA->connectionStatus() == TunnexTunnelDisconnected; }));
    EXPECT_TRUE(test::waitFor([&] { return reports->reported("uuid-of-b", 0); }));
    EXPECT_TRUE(test::waitFor([&] { return channelA->isClosed(); }));
}

// A requester connects a data channel only once its announcement is acknowledged: judged early,
// the remote could complete the connection before it can read whose it is.
TEST_F(MainChannelPeers, AMessageCountsAsAcknowledgedOnlyOnceTheRemoteHoldsIt) {
    connect(false, false);
    ASSERT_TRUE(bothAt(TunnexTunnelConnected));
    // Not ours to read (no mark), so dropped unread: the first of about 700 UDT packets, the
    // second of one.
    const uint64_t large = peerA->sendMainChannelMessageMarked(Bytes(1 << 20, 0x55));
    const uint64_t small = peerA->sendMainChannelMessageMarked(Bytes(16, 0x55));
    ASSERT_LT(large, small);
    // A megabyte is not on the other side the moment its send returns.
    EXPECT_FALSE(peerA->mainChannelAcknowledged(large));
    EXPECT_FALSE(peerA->mainChannelAcknowledged(small));
    EXPECT_TRUE(test::waitFor([&] { return peerA->mainChannelAcknowledged(small); }));
    EXPECT_TRUE(peerA->mainChannelAcknowledged(large));
    // A message that could not be sent is never acknowledged.
    channelA->close();
    EXPECT_FALSE(peerA->mainChannelAcknowledged(peerA->sendMainChannelMessageMarked(Bytes(16, 0x55))));
}

}  // namespace
}  // namespace kl

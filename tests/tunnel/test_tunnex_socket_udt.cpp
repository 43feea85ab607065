// Tunnel sockets over real UDT pairs on loopback: two UDP descriptors stand for two punched peers,
// and every channel of the "tunnel" shares them.
#include <gtest/gtest.h>

#include <poll.h>
#include <udt/udt.h>

#include <chrono>
#include <thread>
#include <vector>

#include "UdtTestSupport.h"
#include "support/PoolHog.h"
#include "foundation/KLTLogging.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/channel/TunnexSocketManager.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using test::UdpPeers;

constexpr size_t kBridgeVolume = 5 * 1000 * 1000;

// Reads exactly length bytes from a blocking descriptor; fewer when it ends or fails.
std::string readExactly(int fd, size_t length) {
    std::string data;
    data.reserve(length);
    char buffer[65536];
    while (data.size() < length) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 30000) != 1) break;
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, length - data.size()), 0);
        if (n <= 0) break;
        data.append(buffer, size_t(n));
    }
    return data;
}

bool writeAll(int fd, const std::string& data) {
    size_t offset = 0;
    while (offset < data.size()) {
        ssize_t n = ::send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
        if (n <= 0) return false;
        offset += size_t(n);
    }
    return true;
}

std::string testStream(size_t length, size_t seed) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i) data[i] = test::streamByte(i + seed);
    return data;
}

// Closes what a test opened, whatever it asserted.
struct Closer {
    std::vector<std::shared_ptr<TunnexSocketImpl>> sockets;
    std::vector<int> descriptors;
    ~Closer() {
        for (auto& socket : sockets) socket->close();
        for (int fd : descriptors) ::close(fd);
    }
};

class TunnexSocketUdtTest : public ::testing::Test {
protected:
    void SetUp() override {
        sk_init();
        // Verbose lines are needed by tests that look for a receive error's line.
        setLoggingLevel(kKLTLoggingLevelDebug);
    }
    void TearDown() override {
        // Every test leaves the manager empty, so its loop ends.
        EXPECT_TRUE(test::waitFor([] { return TunnexSocketManager::sharedInstance().currentSocketCount() == 0; }, 10s));
    }

    std::shared_ptr<TunnexSocketImpl> wrap(int udtSocket) {
        auto socket = TunnexSocketImpl::create(udtSocket);
        closer.sockets.push_back(socket);
        return socket;
    }

    UdpPeers peers;
    Closer closer;
};

TEST_F(TunnexSocketUdtTest, MainChannelAndTwoDataChannelsShareTheDescriptors) {
    auto [mainA, mainB] = peers.open(TunnexChannelMode::Message);
    ASSERT_GT(mainA, 0);
    ASSERT_GT(mainB, 0);
    auto channelA = wrap(mainA), channelB = wrap(mainB);

    // Control messages arrive whole and in the order sent.
    for (int i = 0; i < 20; ++i) {
        Bytes message(size_t(10 + i), uint8_t(i));
        Error error;
        EXPECT_EQ(channelA->sendMessage(message, 10.0, &error), message.size());
    }
    for (int i = 0; i < 20; ++i) {
        auto message = channelB->recvMessage(10.0, nullptr);
        ASSERT_TRUE(message);
        EXPECT_EQ(*message, Bytes(size_t(10 + i), uint8_t(i)));
    }

    // Two data channels, opened one after the other on the same descriptors, each carry their own
    // bytes both ways.
    for (int round = 0; round < 2; ++round) {
        auto [dataA, dataB] = peers.open(TunnexChannelMode::Stream);
        ASSERT_GT(dataA, 0) << "round " << round;
        ASSERT_GT(dataB, 0) << "round " << round;
        auto streamA = wrap(dataA), streamB = wrap(dataB);
        std::string there = testStream(3000, size_t(round)), back = testStream(700, 99);
        ASSERT_TRUE(streamA->sendOperationQueue().addOperationAndWait([&] { EXPECT_TRUE(streamA->sendBytes(test::asBytes(there))); }));
        ASSERT_TRUE(streamB->sendOperationQueue().addOperationAndWait([&] { EXPECT_TRUE(streamB->sendBytes(test::asBytes(back))); }));
        std::string gotThere, gotBack;
        while (gotThere.size() < there.size()) {
            auto data = streamB->recvBytes(65536, 10.0, nullptr);
            ASSERT_TRUE(data);
            gotThere.append(data->begin(), data->end());
        }
        while (gotBack.size() < back.size()) {
            auto data = streamA->recvBytes(65536, 10.0, nullptr);
            ASSERT_TRUE(data);
            gotBack.append(data->begin(), data->end());
        }
        EXPECT_EQ(gotThere, there);
        EXPECT_EQ(gotBack, back);
    }
    // The main channel still works after the data channels joined its descriptor.
    EXPECT_EQ(channelB->sendMessage(Bytes{1, 2, 3}, 10.0, nullptr), 3u);
    EXPECT_EQ(channelA->recvMessage(10.0, nullptr), (Bytes{1, 2, 3}));
}

// UDT closes a descriptor after its last socket on it: in a tunnel, the main channel is what keeps
// the punched descriptor for the data channels opened after earlier ones closed.
TEST_F(TunnexSocketUdtTest, MainChannelKeepsTheDescriptorsForLaterDataChannels) {
    auto [mainA, mainB] = peers.connect(TunnexChannelMode::Message);
    ASSERT_GT(mainA, 0);
    ASSERT_GT(mainB, 0);
    auto channelA = wrap(mainA), channelB = wrap(mainB);
    for (int round = 0; round < 2; ++round) {
        auto [dataA, dataB] = peers.connect(TunnexChannelMode::Stream);
        ASSERT_GT(dataA, 0) << "round " << round;
        ASSERT_GT(dataB, 0) << "round " << round;
        auto streamA = TunnexSocketImpl::create(dataA), streamB = TunnexSocketImpl::create(dataB);
        EXPECT_TRUE(test::carryFirstByte(streamA, streamB)) << "round " << round;
        streamA->close();
        streamB->close();
    }
    EXPECT_EQ(channelA->sendMessage(Bytes{7}, 10.0, nullptr), 1u);
    EXPECT_EQ(channelB->recvMessage(10.0, nullptr), (Bytes{7}));
}

TEST_F(TunnexSocketUdtTest, ReceiveBufferIsRoundedUpByTheBlockSize) {
    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    auto sender = wrap(a), receiver = wrap(b);
    std::string data = testStream(10, 0);
    ASSERT_TRUE(sender->sendOperationQueue().addOperationAndWait([&] { EXPECT_TRUE(sender->sendBytes(test::asBytes(data))); }));
    ASSERT_TRUE(test::waitFor([&] {
        int32_t available = 0;
        int length = sizeof available;
        UDT::getsockopt(b, 0, UDT_RCVDATA, &available, &length);
        return available > 0;  // UDT counts whole packets
    }));
    // The pass-through delegate has a block size of 1: a maximum of 4 takes 5 bytes.
    auto first = receiver->recvBytes(4, 5.0, nullptr);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 5u);
    EXPECT_EQ(receiver->bytesRead(), 5u);
}

TEST_F(TunnexSocketUdtTest, CloseMarkSurvivesFailingReceivesAndLostConnectionSetsIt) {
    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    auto socketA = wrap(a), socketB = wrap(b);
    ASSERT_TRUE(test::carryFirstByte(socketA, socketB));

    // A time-out does not clear a mark someone else made.
    socketA->setShouldBeClosed(true);
    Error error;
    EXPECT_FALSE(socketA->recvBytes(1024, 0.05, &error));
    EXPECT_EQ(error.code(), kUDTErrorReceiveTimeout);
    EXPECT_EQ(error.domain(), tunnexUDTErrorDomain);
    EXPECT_TRUE(socketA->isClosed());
    // A marked socket sends nothing.
    uint64_t written = socketA->bytesWritten();
    ASSERT_TRUE(socketA->sendOperationQueue().addOperationAndWait([&] { EXPECT_FALSE(socketA->sendBytes(test::asBytes("xyz"))); }));
    EXPECT_EQ(socketA->bytesWritten(), written);

    // The far end closing is a lost connection, which marks the socket.
    socketA->close();
    EXPECT_FALSE(socketB->isClosed());
    ASSERT_TRUE(test::waitFor([&] {
        Error lost;
        socketB->recvBytes(1024, 0.1, &lost);
        return lost.code() == kUDTErrorConnectionLost;
    }, 20s));
    EXPECT_TRUE(socketB->isClosed());
}

// Bytes that do not decrypt end the stream: the receive fails with a cipher error the caller can
// read, and the socket is marked to close.
TEST_F(TunnexSocketUdtTest, UndecryptableBytesFailTheReceiveWithACipherError) {
    struct RefusingDelegate : test::CountingDelegate {
        std::optional<Bytes> decryptSomeBytes(const Bytes&, TunnexStreamCipher&) override { return std::nullopt; }
    };
    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    auto sender = wrap(a), receiver = wrap(b);
    auto refusing = std::make_shared<RefusingDelegate>();
    receiver->setDelegate(refusing);
    ASSERT_TRUE(sender->sendOperationQueue().addOperationAndWait([&] { EXPECT_TRUE(sender->sendBytes(test::asBytes("abc"))); }));

    Error error;
    EXPECT_FALSE(receiver->recvBytes(1024, 5.0, &error));
    EXPECT_EQ(error.domain(), tunnexErrorDomain);
    EXPECT_EQ(error.code(), int(TunnexErrorCode::Cipher));
    EXPECT_TRUE(receiver->isClosed());
    EXPECT_EQ(receiver->bytesRead(), 0u);
}

TEST_F(TunnexSocketUdtTest, BridgeCarriesFiveMegabytesEachWayIntact) {
    // The answering side's local service: an echo server that hashes what it receives.
    int echoPort = 0;
    int echoListener = test::plainListener(AF_INET, &echoPort);
    closer.descriptors.push_back(echoListener);
    std::string echoHash;
    std::thread echo([&] {
        int fd = test::plainAccept(echoListener, 30000);
        std::string received = fd >= 0 ? readExactly(fd, kBridgeVolume) : std::string();
        echoHash = test::sha256(test::asBytes(received));
        if (fd >= 0) {
            writeAll(fd, received);
            // Keep the connection until the client has read the echo.
            pollfd pfd{fd, POLLIN, 0};
            ::poll(&pfd, 1, 30000);
            ::close(fd);
        }
    });

    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    auto channelA = wrap(a), channelB = wrap(b);

    // Requesting side: a client's accepted connection, bridged frozen.
    auto [client, acceptedA] = test::tcpPair();
    closer.descriptors.push_back(client);
    auto plugA = test::bridgeDescriptor(acceptedA, channelA);
    // Answering side: its connection to the echo server.
    int toEcho = test::plainConnect(AF_INET, echoPort);
    auto plugB = test::bridgeDescriptor(toEcho, channelB);

    std::string sent = testStream(kBridgeVolume, 7);
    std::thread writer([&] { writeAll(client, sent); });
    std::string echoed = readExactly(client, kBridgeVolume);
    writer.join();
    ::shutdown(client, SHUT_RDWR);
    echo.join();

    const std::string sentHash = test::sha256(test::asBytes(sent));
    EXPECT_EQ(echoHash, sentHash) << "client to service";
    EXPECT_EQ(echoed.size(), kBridgeVolume);
    EXPECT_EQ(test::sha256(test::asBytes(echoed)), sentHash) << "service to client";
    EXPECT_EQ(channelA->bytesRead(), kBridgeVolume);
    EXPECT_EQ(channelB->bytesRead(), kBridgeVolume);
}

// A local client that stops reading pauses the bridge without holding a pool thread: with all but
// one of the pool's threads held, other pool work still runs while the local socket is full, the
// bridge resumes on that one thread once the client reads again, and every byte arrives in order.
TEST_F(TunnexSocketUdtTest, AStalledLocalReaderPausesTheBridgeWithoutHoldingAPoolThread) {
    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    auto channelA = wrap(a), channelB = wrap(b);
    auto [client, accepted] = test::tcpPair();
    closer.descriptors.push_back(client);
    auto plug = test::bridgeDescriptor(accepted, channelA);

    // Far more than the local backlog, the kernel's buffers and UDT's own hold; sent straight
    // through UDT from a thread of the test's, so the sender holds no pool thread either.
    constexpr size_t kVolume = 32u << 20;
    const std::string sent = testStream(kVolume, 11);
    std::thread sender([&, udt = b] {
        for (size_t offset = 0; offset < sent.size();) {
            int n = UDT::send(udt, sent.data() + offset, int(std::min<size_t>(sent.size() - offset, 1 << 20)), 0);
            if (n == UDT::ERROR) {
                // The channel's sends never wait, so a full window answers at once: try again.
                if (!udtSendFoundNoRoom(UDT::getlasterror().getErrorCode()) || channelB->isClosed()) return;
                std::this_thread::sleep_for(1ms);
                continue;
            }
            offset += size_t(n);
        }
    });
    // Whatever the test asserted: a sender stuck in UDT is ended by closing its channel.
    struct JoinSender {
        std::thread& thread;
        std::shared_ptr<TunnexSocketImpl> channel;
        ~JoinSender() {
            if (!thread.joinable()) return;
            channel->close();
            thread.join();
        }
    } joinSender{sender, channelB};

    // The bridge has filled the local socket and stopped moving bytes, with UDT holding more.
    uint64_t seen = 0;
    ASSERT_TRUE(test::waitFor([&] {
        const uint64_t now = channelA->bytesWritten();
        const bool settled = now == seen && now >= uint64_t(kSocketBacklogLimit);
        seen = now;
        if (!settled) std::this_thread::sleep_for(200ms);
        return settled;
    }, 30s));
    EXPECT_LT(channelA->bytesWritten(), kVolume);

    std::string received;
    {
        test::PoolHog hog(1);
        EXPECT_TRUE(test::PoolHog::poolStillRuns()) << "the paused bridge holds a pool thread";
        received = readExactly(client, kVolume);
    }
    if (received.size() != kVolume) channelB->close();
    sender.join();
    EXPECT_EQ(received.size(), kVolume);
    EXPECT_TRUE(received == sent) << "the stream arrived altered";
    channelA->close();
    channelB->close();
}

TEST_F(TunnexSocketUdtTest, PeerCloseEndsTheBridgeOnceAndTellsTheDelegate) {
    auto [a, b] = peers.open(TunnexChannelMode::Stream);
    ASSERT_GT(a, 0);
    auto channelA = wrap(a), channelB = wrap(b);
    auto delegate = std::make_shared<test::CountingDelegate>();
    channelA->setDelegate(delegate);
    auto [client, accepted] = test::tcpPair();
    closer.descriptors.push_back(client);
    auto plug = test::bridgeDescriptor(accepted, channelA);

    // Bytes the peer sent just before closing still reach the local client.
    std::string last = testStream(5000, 3);
    ASSERT_TRUE(channelB->sendOperationQueue().addOperationAndWait([&] { channelB->sendBytes(test::asBytes(last)); }));
    channelB->close();

    EXPECT_EQ(readExactly(client, last.size()), last);
    ASSERT_TRUE(test::waitFor([&] { return delegate->closes.load() == 1; }, 20s));
    EXPECT_TRUE(memoryLogContains("Receive resulted in error 2001"));
    EXPECT_TRUE(memoryLogContains("Closing channel on error"));
    EXPECT_TRUE(channelA->isClosed());
    // The local connection was ended with the channel.
    char byte;
    pollfd pfd{client, POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10000), 1);
    EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
    // A second close does nothing.
    channelA->close();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(delegate->closes.load(), 1);
    EXPECT_EQ(channelA->udtSocket(), 0);
}

TEST_F(TunnexSocketUdtTest, CloseWithUnacknowledgedDataDoesNotLinger) {
    // The receiving side takes nothing and has a small buffer, so the sender's data stays
    // unacknowledged; a lingering close would wait for it for minutes.
    UDTSOCKET receiver = UDT::socket(AF_INET, SOCK_STREAM, 0);
    bool yes = true;
    int small = 64 * 1024;
    UDT::setsockopt(receiver, 0, UDT_RENDEZVOUS, &yes, sizeof yes);
    UDT::setsockopt(receiver, 0, UDT_REUSEADDR, &yes, sizeof yes);
    UDT::setsockopt(receiver, 0, UDT_RCVBUF, &small, sizeof small);
    UDT::setsockopt(receiver, 0, UDP_RCVBUF, &small, sizeof small);
    ASSERT_NE(UDT::bind2(receiver, peers.fdB), UDT::ERROR);
    auto connecting = std::async(std::launch::async, [&] {
        return UDT::connect(receiver, reinterpret_cast<const sockaddr*>(&peers.addressA), sizeof(sockaddr_in));
    });
    Result<int> sender = openUDTChannel(peers.fdA, peers.addressB, TunnexChannelMode::Stream);
    ASSERT_NE(connecting.get(), UDT::ERROR);
    ASSERT_TRUE(sender.ok());
    auto channel = TunnexSocketImpl::create(sender.value());

    std::string bulk = testStream(2 * 1000 * 1000, 1);
    ASSERT_TRUE(channel->sendOperationQueue().addOperationAndWait([&] { EXPECT_TRUE(channel->sendBytes(test::asBytes(bulk))); }));
    int32_t unsent = 0;
    int length = sizeof unsent;
    UDT::getsockopt(sender.value(), 0, UDT_SNDDATA, &unsent, &length);
    EXPECT_GT(unsent, 0);

    auto started = std::chrono::steady_clock::now();
    channel->close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    // Given up once the receiver stalls, and then gone from UDT, not held for its linger time
    // (which kept a multiplexer's port, descriptor and threads for minutes).
    EXPECT_TRUE(test::waitFor([&] { return UDT::getsockstate(sender.value()) == NONEXIST; }, 20s))
        << "UDT still holds the closed socket in state " << int(UDT::getsockstate(sender.value()));
    bool no = false;
    UDT::setsockopt(receiver, 0, UDT_SNDSYN, &no, sizeof no);
    UDT::close(receiver);
}

}  // namespace
}  // namespace kl

// KLNetSocket over real TCP loopback connections: exact-length reads, latency reports, complete
// writes, connect and listen errors, and stopping the accept loop.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "NetSocketTestSupport.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/Files.h"

using namespace kl;
using namespace kl::test;
using namespace std::chrono_literals;

namespace {

KLNetSocket::Timing fastReads() {
    KLNetSocket::Timing timing;
    timing.readWaitStep = 30ms;
    return timing;
}

}  // namespace

TEST(KLNetSocketStream, ExactLengthReadCollectsAWriterThatSendsInPieces) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    EXPECT_TRUE(pair.client->isConnected());
    EXPECT_TRUE(pair.server->isConnected());

    std::string message;
    for (int i = 0; i < 5000; ++i) message += char('a' + i % 26);
    std::jthread writer([&] {
        for (size_t offset = 0; offset < message.size(); offset += 777) {
            size_t piece = std::min<size_t>(777, message.size() - offset);
            ASSERT_TRUE(pair.client->sendBytes(message.data() + offset, uint32_t(piece)));
            std::this_thread::sleep_for(2ms);
        }
    });
    std::string received(message.size(), '\0');
    ASSERT_TRUE(pair.server->getClientBytes(received.data(), int64_t(received.size())));
    EXPECT_EQ(received, message);

    // Zero and negative lengths succeed without touching the descriptor, even after close.
    pair.server->close();
    EXPECT_TRUE(pair.server->getClientBytes(nullptr, 0));
    EXPECT_TRUE(pair.server->getClientBytes(nullptr, -3));
    char byte;
    EXPECT_FALSE(pair.server->getClientBytes(&byte, 1));
}

TEST(KLNetSocketStream, ReadFailsAtEndOfStreamAndServerReadAlike) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(pair.client->sendBytes("ab", 2));
    pair.client->close();
    char buffer[4];
    EXPECT_FALSE(pair.server->getServerBytes(buffer, 4));  // two bytes, then end of stream
}

TEST(KLNetSocketStream, SilentPeerReportsLatencyEveryStepAndTimesOut) {
    LoopbackPair pair(fastReads());
    ASSERT_TRUE(pair.ok());
    auto delegate = std::make_shared<RecordingDelegate>();
    pair.server->setDelegate(delegate);
    clearMemoryLog();

    char buffer[8];
    errno = 0;
    EXPECT_FALSE(pair.server->getClientBytes(buffer, sizeof buffer));
    EXPECT_EQ(errno, ETIMEDOUT);
    for (int seconds = 5; seconds <= 40; seconds += 5)
        EXPECT_TRUE(memoryLogContains("info: Client bytes timed out now " + std::to_string(seconds) + " seconds"))
            << seconds;
    EXPECT_FALSE(memoryLogContains("Client bytes timed out now 45 seconds"));

    // The reports reach the delegate on the main loop, in order.
    ASSERT_TRUE(mainLoop().runUntil([&] { return delegate->latencyCount() >= 8; }, 10s));
    std::vector<float> expected;
    for (int seconds = 5; seconds <= 40; seconds += 5) expected.push_back(float(seconds) / 45.0f);
    std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->latency, expected);
}

TEST(KLNetSocketStream, DataAfterALatencyReportRecoversAndRestartsTheClock) {
    LoopbackPair pair(fastReads());
    ASSERT_TRUE(pair.ok());
    auto delegate = std::make_shared<RecordingDelegate>();
    pair.server->setDelegate(delegate);

    std::atomic<bool> done{false};
    std::atomic<bool> result{false};
    char buffer[2];
    std::jthread reader([&] {
        result = pair.server->getClientBytes(buffer, 2);
        done = true;
    });
    // Let the peer stay silent up to the last report before the limit, then send one byte.
    ASSERT_TRUE(mainLoop().runUntil([&] { return delegate->latencyCount() >= 8; }, 20s));
    ASSERT_TRUE(pair.client->sendBytes("x", 1));
    ASSERT_TRUE(mainLoop().runUntil(
        [&] {
            std::lock_guard lock(delegate->mutex);
            return delegate->latency.size() >= 10;
        },
        20s));
    {
        std::lock_guard lock(delegate->mutex);
        EXPECT_EQ(delegate->latency[8], 0.0f);          // one recovery report
        EXPECT_EQ(delegate->latency[9], 5.0f / 45.0f);  // the clock started again
    }
    ASSERT_TRUE(pair.client->sendBytes("y", 1));
    reader.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(std::string(buffer, 2), "xy");
}

TEST(KLNetSocketStream, CloseFromAnotherThreadWakesABlockedRead) {
    LoopbackPair pair;  // the default 5-second steps: only the wake can end this read quickly
    ASSERT_TRUE(pair.ok());
    std::atomic<bool> done{false};
    std::jthread reader([&] {
        char byte;
        EXPECT_FALSE(pair.server->getServerBytes(&byte, 1));
        done = true;
    });
    std::this_thread::sleep_for(50ms);  // let the read reach its wait
    pair.server->close();
    EXPECT_TRUE(waitFor([&] { return done.load(); }, 4s));
    EXPECT_FALSE(pair.server->isOpen());
    EXPECT_EQ(pair.server->sock(), -1);
}

TEST(KLNetSocketStream, SendToAPeerThatNeverReadsFailsInsteadOfHanging) {
    KLNetSocket::Timing timing;
    timing.sendWaitStep = 50ms;
    timing.sendStallLimit = 300ms;
    LoopbackPair pair(timing);
    ASSERT_TRUE(pair.ok());
    std::vector<char> flood(64u << 20, 'z');  // more than both socket buffers hold
    errno = 0;
    EXPECT_FALSE(pair.client->sendBytes(flood.data(), uint32_t(flood.size())));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_TRUE(memoryLogContains("sendBytes: no progress for"));
}

TEST(KLNetSocketStream, BandwidthMeterHearsEveryByte) {
    struct Meter : KLTBandwidthMeterProtocol {
        void reportBytesSent(uint64_t count) override { sent += count; }
        void reportBytesReceived(uint64_t count) override { received += count; }
        std::atomic<uint64_t> sent{0}, received{0};
    };
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    auto meter = std::make_shared<Meter>();
    pair.client->setBandwidthMeter(meter);
    pair.server->setBandwidthMeter(meter);
    char buffer[300] = {};
    ASSERT_TRUE(pair.client->sendBytes(buffer, sizeof buffer));
    ASSERT_TRUE(pair.server->getClientBytes(buffer, sizeof buffer));
    EXPECT_EQ(meter->sent, 300u);
    EXPECT_EQ(meter->received, 300u);
}

TEST(KLNetSocketStream, ConnectAndListenErrors) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    // A second connect or a listen on a connected object is refused and leaves the error alone.
    Error untouched("sentinel", 42);
    EXPECT_FALSE(pair.client->connectToHost("127.0.0.1", pair.listener->localPort(), &untouched));
    EXPECT_FALSE(pair.client->listenOnPort(0, pair.listenerDelegate, &untouched));
    EXPECT_EQ(untouched, Error("sentinel", 42));

    Error error;
    auto unresolved = KLNetSocket::init();
    EXPECT_FALSE(unresolved->connectToHost("no-such-host.invalid", 80, &error));
    EXPECT_EQ(error.description(), "Host not found");
    EXPECT_FALSE(unresolved->isOpen());

    // Find a port nobody listens on: bind one, then let it go.
    uint16_t closedPort;
    {
        auto probe = KLNetSocket::init();
        ASSERT_TRUE(probe->listenOnPort(0, pair.listenerDelegate));
        closedPort = probe->localPort();
    }
    auto refused = KLNetSocket::init();
    EXPECT_FALSE(refused->connectToHost("127.0.0.1", closedPort, &error));
    EXPECT_EQ(error.domain(), kPosixErrorDomain);
    EXPECT_EQ(error.code(), ECONNREFUSED);
    EXPECT_EQ(error.description(), "Unable to connect to port");
    EXPECT_TRUE(memoryLogContains("Error string is '"));
    EXPECT_FALSE(refused->isOpen());

    // A port in use cannot be bound; the object may then listen elsewhere.
    auto second = KLNetSocket::init();
    EXPECT_FALSE(second->listenOnPort(pair.listener->localPort(), pair.listenerDelegate, &error));
    EXPECT_EQ(error.description(), "Unable to bind to port");
    EXPECT_EQ(error.code(), EADDRINUSE);
    EXPECT_TRUE(second->listenOnPort(0, pair.listenerDelegate, &error));
}

TEST(KLNetSocketStream, ConnectsToAnIPv6AddressOfTheDualStackListener) {
    if (!hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback address";
    auto delegate = std::make_shared<RecordingDelegate>();
    auto listener = KLNetSocket::init();
    ASSERT_TRUE(listener->listenOnPort(0, delegate));
    auto client = KLNetSocket::init();
    sockaddr_storage address = ipv6Address("::1", 0);
    ASSERT_TRUE(client->connectToAddress(address, sizeof(sockaddr_in6), listener->localPort()));
    EXPECT_EQ(socketAddressPort(address), listener->localPort());  // written into the caller's address
    ASSERT_TRUE(waitFor([&] { return delegate->takeAccepted() != nullptr; }));
    EXPECT_TRUE(client->isLoopback());
}

TEST(KLNetSocketStream, StoppingTheAcceptLoopFromAnotherThreadFreesThePort) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto listener = KLNetSocket::init();
    ASSERT_TRUE(listener->listenOnPort(0, delegate));
    uint16_t port = listener->localPort();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(listener->isListening());

    auto started = std::chrono::steady_clock::now();
    std::jthread closer([&] { listener->close(); });
    closer.join();
    EXPECT_TRUE(waitFor([&] { return !listener->isListening(); }, 5s));
    // Woken, not polled: far below the loop's own check interval on any machine.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);

    auto again = KLNetSocket::init();
    EXPECT_TRUE(again->listenOnPort(port, delegate));
    // Destroying a listening socket joins its accept thread and frees the port as well.
    again.reset();
    auto third = KLNetSocket::init();
    EXPECT_TRUE(third->listenOnPort(port, delegate));
}

TEST(KLNetSocketStream, ListenerEndsWhenItsDelegateIsGoneAndMayDieInsideItsCallback) {
    struct DroppingDelegate : KLNetSocketDelegate {
        std::shared_ptr<KLNetSocket> listener;
        std::atomic<bool> called{false};
        void acceptedNewClientSocket(std::shared_ptr<KLNetSocket>) override {
            listener.reset();  // the last reference: the socket dies on its own accept thread
            called = true;
        }
    };
    auto dropping = std::make_shared<DroppingDelegate>();
    dropping->listener = KLNetSocket::init();
    ASSERT_TRUE(dropping->listener->listenOnPort(0, dropping));
    uint16_t port = dropping->listener->localPort();
    auto client = KLNetSocket::init();
    ASSERT_TRUE(client->connectToHost("127.0.0.1", port));
    ASSERT_TRUE(waitFor([&] { return dropping->called.load(); }));
    auto rebind = KLNetSocket::init();
    EXPECT_TRUE(waitFor([&] { return rebind->listenOnPort(port, dropping); }));

    auto delegate = std::make_shared<RecordingDelegate>();
    auto orphan = KLNetSocket::init();
    ASSERT_TRUE(orphan->listenOnPort(0, delegate));
    delegate.reset();
    auto late = KLNetSocket::init();
    ASSERT_TRUE(late->connectToHost("127.0.0.1", orphan->localPort()));
    EXPECT_TRUE(waitFor([&] { return !orphan->isListening(); }));
}

TEST(KLNetSocketStream, RunningOutOfDescriptorsDoesNotKillTheListener) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto listener = KLNetSocket::init();
    ASSERT_TRUE(listener->listenOnPort(0, delegate));
    // The client's descriptor exists before the limit is lowered; it connects only afterwards, so
    // the accept loop cannot take the connection before it runs out of descriptors.
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(listener->localPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Lower the descriptor limit to what is open now, so the accept fails with EMFILE.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> fillers;
    rlimit lowered = saved;
    int highest = ::dup(0);
    ASSERT_GE(highest, 0);
    fillers.push_back(highest);
    lowered.rlim_cur = rlim_t(highest + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
    int connected = ::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    bool paused = waitFor([] { return memoryLogContains("acceptConnections: Too many open files, pausing"); }, 5s);
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(connected, 0);
    EXPECT_TRUE(paused);
    EXPECT_TRUE(waitFor([&] { return delegate->takeAccepted() != nullptr; }));
    EXPECT_TRUE(listener->isListening());
    ::close(client);
}

// KLNetSocket over real UDP on loopback: the receive loop, its shutdown and ownership rules, the
// one-shot wait, sends, and the address helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "NetSocketTestSupport.h"
#include "foundation/KLTLogging.h"

using namespace kl;
using namespace kl::test;
using namespace std::chrono_literals;

namespace {

// Starts a loop on an ephemeral port and returns the port once it is bound.
uint16_t startLoop(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<RecordingDelegate>& delegate) {
    if (!socket->startListeningForDatagramsOnPort(delegate, 0)) return 0;
    if (!waitFor([&] { return delegate->began.load(); })) return 0;
    return socket->localPort();
}

bool send(const std::shared_ptr<KLNetSocket>& from, std::string_view text, const sockaddr_storage& to) {
    return from->sendDatagram(text.data(), uint32_t(text.size()), to);
}

}  // namespace

TEST(KLNetSocketDatagram, LoopDeliversEveryDatagramWithItsSenderAndStopsOnClose) {
    setLoggingLevel(kKLTLoggingLevelDebug);
    auto delegate = std::make_shared<RecordingDelegate>();
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    uint16_t port = startLoop(receiver, delegate);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(receiver->isListening());

    auto sender = KLNetSocket::initUDPClientWithFamily(AF_INET);
    ASSERT_TRUE(sender);
    auto to = ipv4Address("127.0.0.1", port);
    ASSERT_TRUE(send(sender, "first", to));
    ASSERT_TRUE(send(sender, "", to));  // empty datagrams are delivered too
    std::string big(60000, 'q');
    ASSERT_TRUE(send(sender, big, to));
    ASSERT_TRUE(waitFor([&] { return delegate->datagramCount() == 3; }));
    {
        std::lock_guard lock(delegate->mutex);
        EXPECT_EQ(std::string(delegate->datagrams[0].begin(), delegate->datagrams[0].end()), "first");
        EXPECT_TRUE(delegate->datagrams[1].empty());
        EXPECT_EQ(delegate->datagrams[2].size(), big.size());
        EXPECT_EQ(socketAddressPort(delegate->senders[0]), sender->localPort());
        EXPECT_TRUE(delegate->copies.empty());
    }
    EXPECT_GT(delegate->passes.load(), 0);

    auto started = std::chrono::steady_clock::now();
    receiver->close();
    EXPECT_TRUE(waitFor([&] { return !receiver->isListening(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_FALSE(receiver->isOpen());
    EXPECT_TRUE(memoryLogContains("listenForDatagramsOnPort: falling out of the end!"));
    setLoggingLevel(kKLTLoggingLevelInfo);
}

TEST(KLNetSocketDatagram, CopiesOnRequestAndRunsOnTheCallersThread) {
    if (!hasIPv6Loopback()) GTEST_SKIP() << "no IPv6: the loop's socket would not be dual-stack";
    auto delegate = std::make_shared<RecordingDelegate>();
    auto receiver = KLNetSocket::init();  // IPv6 dual stack
    receiver->setUseCopyForDatagrams(true);
    std::atomic<uint16_t> port{0};
    std::thread::id loopThread;
    std::jthread caller([&] {
        loopThread = std::this_thread::get_id();
        receiver->listenForDatagramsOnPort(delegate, 0);
    });
    ASSERT_TRUE(waitFor([&] { return delegate->began.load(); }));
    std::thread::id seenOn;
    delegate->onDatagram = [&](KLNetSocket&) { seenOn = std::this_thread::get_id(); };
    auto sender = KLNetSocket::initUDPClientWithFamily(AF_INET);
    ASSERT_TRUE(send(sender, "kept", ipv4Address("127.0.0.1", receiver->localPort())));
    ASSERT_TRUE(waitFor([&] { return delegate->datagramCount() == 1; }));
    receiver->close();
    caller.join();  // the loop returned to its caller
    std::lock_guard lock(delegate->mutex);
    ASSERT_EQ(delegate->copies.size(), 1u);
    EXPECT_EQ(std::string(delegate->copies[0]->begin(), delegate->copies[0]->end()), "kept");
    EXPECT_EQ(seenOn, loopThread);
    // Over the dual-stack socket an IPv4 sender appears as ::ffff:127.0.0.1.
    sockaddr_in plain{};
    ASSERT_TRUE(KLNetSocket::convertDualStack(reinterpret_cast<const sockaddr_in6&>(delegate->senders[0]), plain));
    EXPECT_EQ(ntohl(plain.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(KLNetSocketDatagram, DelegateEndsTheLoopAndMayKeepTheDescriptorOpen) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->keepReceiving = false;
    delegate->closeWhenDone = false;
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    ASSERT_TRUE(receiver->startListeningForDatagramsOnPort(delegate, 0));
    ASSERT_TRUE(waitFor([&] { return delegate->passes.load() > 0 && !receiver->isListening(); }));
    EXPECT_TRUE(receiver->isOpen());
    EXPECT_GE(receiver->sock(), 0);

    auto closing = std::make_shared<RecordingDelegate>();
    closing->keepReceiving = false;
    auto other = KLNetSocket::initWithFamily(AF_INET);
    ASSERT_TRUE(other->startListeningForDatagramsOnPort(closing, 0));
    ASSERT_TRUE(waitFor([&] { return closing->passes.load() > 0 && !other->isListening(); }));
    EXPECT_FALSE(other->isOpen());
}

TEST(KLNetSocketDatagram, LoopEndsWhenTheDelegateDiesAndSurvivesBeingDroppedInACallback) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    ASSERT_NE(startLoop(receiver, delegate), 0);
    delegate.reset();
    EXPECT_TRUE(waitFor([&] { return !receiver->isListening(); }));

    // The loop's own callback drops the last reference to the socket.
    struct Dropper : RecordingDelegate {
        std::shared_ptr<KLNetSocket> owned;
        std::atomic<bool> dropped{false};
        bool shouldContinueToReceiveDatagramsOnSocket(KLNetSocket& socket, bool& shouldClose) override {
            if (owned) {
                owned.reset();
                dropped = true;
            }
            return true;
        }
    };
    auto dropper = std::make_shared<Dropper>();
    dropper->owned = KLNetSocket::initWithFamily(AF_INET);
    ASSERT_TRUE(dropper->owned->startListeningForDatagramsOnPort(dropper, 0));
    EXPECT_TRUE(waitFor([&] { return dropper->dropped.load(); }));
}

TEST(KLNetSocketDatagram, DestroyingTheSocketJoinsItsLoop) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    uint16_t port = startLoop(receiver, delegate);
    ASSERT_NE(port, 0);
    receiver.reset();  // returns only once the loop thread has ended
    int before = delegate->passes.load();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(delegate->passes.load(), before);
    auto rebound = KLNetSocket::initWithFamily(AF_INET);
    EXPECT_NE(startLoop(rebound, std::make_shared<RecordingDelegate>()), 0);
}

TEST(KLNetSocketDatagram, WaitForDatagramRecordsTheSenderAndCanBeInterrupted) {
    // An ephemeral port that is free now.
    uint16_t port;
    {
        auto probe = KLNetSocket::initUDPClientWithFamily(AF_INET6);
        port = probe->localPort();
    }
    auto waiter = KLNetSocket::init();
    std::optional<Bytes> got;
    std::atomic<bool> done{false};
    std::jthread thread([&] {
        got = waiter->waitForDatagramOnPort(port);
        done = true;
    });
    auto sender = KLNetSocket::initUDPClientWithFamily(AF_INET);
    auto to = ipv4Address("127.0.0.1", port);
    // The wait binds in its own time: keep sending until it has its datagram.
    ASSERT_TRUE(waitFor([&] {
        send(sender, "punch", to);
        std::this_thread::sleep_for(10ms);
        return done.load();
    }));
    thread.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(got->begin(), got->end()), "punch");
    EXPECT_TRUE(waiter->hasClientAddr());
    EXPECT_EQ(socketAddressPort(waiter->knownClientAddr()), sender->localPort());
    EXPECT_FALSE(waiter->waitForDatagramError());

    done = false;
    std::jthread interrupted([&] {
        got = waiter->waitForDatagramOnPort(port);
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    waiter->close();
    ASSERT_TRUE(waitFor([&] { return done.load(); }, 4s));
    interrupted.join();
    EXPECT_FALSE(got);
    EXPECT_FALSE(waiter->hasClientAddr());
}

TEST(KLNetSocketDatagram, WaitOnABusyPortReportsTheBindFailure) {
    auto holder = KLNetSocket::initUDPClientWithFamily(AF_INET6);
    auto waiter = KLNetSocket::init();
    EXPECT_FALSE(waiter->waitForDatagramOnPort(holder->localPort()));
    EXPECT_TRUE(waiter->waitForDatagramError());
    EXPECT_TRUE(memoryLogContains("Was waitForDatagramOnPort: and failed to bind to port"));
}

TEST(KLNetSocketDatagram, SendsToAnotherSocketsPeerAtAGivenPort) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    uint16_t port = startLoop(receiver, delegate);
    ASSERT_NE(port, 0);

    auto sender = KLNetSocket::initUDPClientWithFamily(AF_INET);
    sender->setKnownClientAddr(ipv4Address("127.0.0.1", 9300));  // the server's address, another port
    sender->setHasClientAddr(true);
    ASSERT_TRUE(sender->sendDatagram("ping", 4, sender.get(), port));
    ASSERT_TRUE(waitFor([&] { return delegate->datagramCount() == 1; }));

    clearMemoryLog();
    EXPECT_FALSE(sender->sendDatagram("lost", 4, nullptr, port));
    EXPECT_TRUE(memoryLogContains("error: Failed to send datagram: err is "));

    auto closed = KLNetSocket::initUDPClientWithFamily(AF_INET);
    closed->close();
    EXPECT_FALSE(closed->sendDatagram("x", 1, ipv4Address("127.0.0.1", port), true));
}

TEST(KLNetSocketAddresses, DualStackConversionTable) {
    struct Case {
        const char* address;
        bool converts;
        const char* ipv4;
    } cases[] = {
        {"::ffff:192.0.2.1", true, "192.0.2.1"},
        {"::ffff:127.0.0.1", true, "127.0.0.1"},
        {"::1", false, nullptr},
        {"2001:db8::1", false, nullptr},
        {"::", false, nullptr},
    };
    for (const auto& c : cases) {
        auto in6 = ipv6Address(c.address, 80);
        sockaddr_in out{};
        out.sin_port = 7;  // left alone on refusal
        EXPECT_EQ(KLNetSocket::convertDualStack(reinterpret_cast<const sockaddr_in6&>(in6), out), c.converts)
            << c.address;
        if (c.converts) {
            auto expected = ipv4Address(c.ipv4, 80);
            EXPECT_EQ(out.sin_family, AF_INET);
            EXPECT_EQ(ntohs(out.sin_port), 80);
            EXPECT_EQ(out.sin_addr.s_addr, reinterpret_cast<sockaddr_in&>(expected).sin_addr.s_addr);
        } else {
            EXPECT_EQ(out.sin_port, 7);
        }
    }
}

TEST(KLNetSocketAddresses, LoopbackTable) {
    struct Case {
        sockaddr_storage peer;
        bool loopback;
    } cases[] = {
        {ipv4Address("127.0.0.1", 5), true},
        {ipv6Address("::1", 5), hasIPv6Loopback()},
        {ipv6Address("::ffff:127.0.0.1", 5), true},
        {ipv4Address("192.0.2.77", 5), false},
        {ipv6Address("2001:db8::77", 5), false},
        {sockaddr_storage{}, false},
    };
    for (const auto& c : cases) {
        auto socket = KLNetSocket::init();
        socket->setKnownClientAddr(c.peer);
        socket->setHasClientAddr(true);
        EXPECT_EQ(socket->isLoopback(), c.loopback) << socketAddressString(c.peer);
    }

    // A connected client and the connection its listener accepted from ::ffff:127.0.0.1.
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    EXPECT_TRUE(pair.client->isLoopback());
    sockaddr_storage acceptedFrom = pair.server->knownClientAddr();
    if (hasIPv6Loopback()) {  // the listener is dual-stack
        ASSERT_EQ(acceptedFrom.ss_family, AF_INET6);
        EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<sockaddr_in6&>(acceptedFrom).sin6_addr));
    }
    EXPECT_TRUE(pair.server->isLoopback());
    // A listener that knows a peer address never counts as loopback.
    pair.listener->setKnownClientAddr(ipv4Address("127.0.0.1", 1));
    pair.listener->setHasClientAddr(true);
    EXPECT_FALSE(pair.listener->isLoopback());
}

TEST(KLNetSocketAddresses, LengthsAndLookups) {
    EXPECT_EQ(socketAddressLength(ipv4Address("192.0.2.1", 1)), 16u);
    EXPECT_EQ(socketAddressLength(ipv6Address("::1", 1)), 28u);
    EXPECT_EQ(socketAddressLength(sockaddr_storage{}), 0u);
    sockaddr_storage found;
    ASSERT_TRUE(KLNetSocket::getAddressForHost("127.0.0.1", AF_INET, SOCK_DGRAM, found));
    EXPECT_EQ(found.ss_family, AF_INET);
    EXPECT_FALSE(KLNetSocket::getAddressForHost("no-such-host.invalid", AF_INET, SOCK_DGRAM, found));
    EXPECT_EQ(found.ss_family, 0);
}

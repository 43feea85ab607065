// One viewer at a time: a second viewer is told the first one's id and either takes the connection
// over by echoing it or is closed; a silent viewer is let go while heartbeats keep one open; and
// after a viewer leaves, the next one is served from the start.
#include "ScreenServerTestSupport.h"
#include "platform/NotifyBus.h"
#include "support/PoolHog.h"

namespace kl::test {
namespace {

std::vector<uint8_t> idBytes(uint64_t id) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(id >> (8 * i));
    return bytes;
}

TEST(ScreenServerConnections, SecondViewerIsBusyThenTakesOverOrIsClosed) {
    KL_REQUIRE_SHARED_XVFB();
    struct Case {
        const char* name;
        uint64_t firstId;
        std::optional<uint64_t> reply;
        bool takesOver;
        // The busy exchange and the activation run on threads of the server's own.
        bool everyPoolThreadHeld = false;
    } cases[] = {
        {"first viewer sent no id", 0, std::nullopt, false},
        {"first viewer sent no id, newcomer echoes 0", 0, 0, false},
        {"newcomer echoes the id", 42, 42, true},
        {"newcomer echoes another id", 42, 41, false},
        {"newcomer echoes the id while every pool thread is held", 42, 42, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHarness harness;
        ASSERT_TRUE(harness.started);
        TestViewer first(harness.server->port());
        ASSERT_TRUE(first.waitUntil([](auto& s) { return s.helloReceived; }));
        ASSERT_TRUE(first.handshake(fullHandshake(c.firstId)));
        ASSERT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::Streaming; }));

        std::optional<PoolHog> hog;
        if (c.everyPoolThreadHeld) hog.emplace(0);
        TestViewer second(harness.server->port());
        ASSERT_TRUE(second.waitUntil([](auto& s) { return s.busyClientId.has_value(); }));
        EXPECT_EQ(second.with([](auto& s) { return *s.busyClientId; }), c.firstId);
        EXPECT_FALSE(second.with([](auto& s) { return s.helloReceived; }));
        if (c.reply) second.send(idBytes(*c.reply));

        if (c.takesOver) {
            EXPECT_TRUE(first.waitClosed());
            ASSERT_TRUE(second.waitUntil([](auto& s) { return s.helloReceived; }));
            ASSERT_TRUE(second.handshake(fullHandshake(43)));
            ASSERT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::Streaming; }));
            EXPECT_TRUE(second.requestUntilQuiet());
            EXPECT_EQ(harness.server->attachedClientId(), 43u);
        } else {
            EXPECT_TRUE(second.waitClosed());
            EXPECT_FALSE(first.closed());
            EXPECT_TRUE(first.requestUpdate());
            EXPECT_EQ(first.with([](auto& s) { return s.lastDesignation; }), 0x28);
        }
    }
}

TEST(ScreenServerConnections, SilenceEndsTheConnectionHeartbeatsKeepItAndTheNextViewerStreams) {
    KL_REQUIRE_SHARED_XVFB();
    // The control app hears of each viewer through these.
    struct Counter {
        Counter(const char* name, NotifyBus::Scope scope)
            : observer(name, scope, [](Task task) { task(); }, [this] { ++posts; }) {}
        std::atomic<int> posts{0};
        NotifyBus::Observer observer;
    };
    Counter responded(kServerRespondedToConnectRequest, NotifyBus::Scope::Session);
    Counter connected(kServerConnectedToDevice, NotifyBus::Scope::Session);
    Counter disconnected(kServerDisconnectedFromDevice, NotifyBus::Scope::Session);
    ASSERT_TRUE(connected.observer.watching());

    // A read gives up after 9 silent steps: 180 ms here instead of 45 s.
    ServerHarness harness(std::chrono::milliseconds(20));
    ASSERT_TRUE(harness.started);
    {
        TestViewer viewer(harness.server->port());
        ASSERT_TRUE(viewer.handshake(fullHandshake(5)));
        for (int i = 0; i < 12; ++i) {
            ASSERT_TRUE(viewer.send(viewer::heartBeatBytes()));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_FALSE(viewer.closed());
        EXPECT_EQ(harness.state(), ScreenServerState::Streaming);
        EXPECT_TRUE(waitFor([&] { return responded.posts > 0 && connected.posts > 0; }));
        EXPECT_EQ(disconnected.posts, 0);
        EXPECT_TRUE(viewer.waitClosed(std::chrono::seconds(5)));
        EXPECT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::WaitingForViewer; }));
        EXPECT_FALSE(harness.server->screen());
        EXPECT_EQ(harness.server->attachedClientId(), 0u);
        EXPECT_TRUE(waitFor([&] { return disconnected.posts > 0; }));
    }
    TestViewer next(harness.server->port());
    ASSERT_TRUE(next.waitUntil([](auto& s) { return s.helloReceived; }));
    EXPECT_FALSE(next.with([](auto& s) { return s.busyClientId.has_value(); }));
    ASSERT_TRUE(next.handshake(fullHandshake(6)));
    ASSERT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::Streaming; }));
    // Keeps talking, so the short read limit does not end it while it streams.
    EXPECT_TRUE(next.requestUntilQuiet());
    // It still hears of the screen's changes: the refresh listener came back with it.
    Client client;
    ASSERT_TRUE(client.connected());
    client.fill(50, 60, 100, 80, 0xCC3366);
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        size_t before = next.with([](auto& s) { return s.records.size(); });
        ASSERT_TRUE(next.requestUpdate());
        seen = next.with([&](auto& s) {
            for (size_t r = before; r < s.records.size(); ++r) {
                const auto& record = s.records[r];
                if ((record.encoding == 4 || record.encoding == 14) && record.x <= 50 && record.y <= 60 &&
                    record.x + record.w >= 150 && record.y + record.h >= 140)
                    return true;
            }
            return false;
        });
    }
    EXPECT_TRUE(seen);
}

TEST(ScreenServerConnections, AViewerThatHungUpDoesNotMakeTheNextOneBusy) {
    KL_REQUIRE_SHARED_XVFB();
    ServerHarness harness;
    ASSERT_TRUE(harness.started);
    auto viewer = std::make_unique<TestViewer>(harness.server->port());
    ASSERT_TRUE(viewer->handshake(fullHandshake(21)));
    for (int i = 0; i < 10; ++i) {
        viewer.reset();  // hangs up; the next one connects at once
        viewer = std::make_unique<TestViewer>(harness.server->port());
        ASSERT_TRUE(viewer->waitUntil([](auto& s) { return s.helloReceived || s.busyClientId.has_value(); }));
        ASSERT_FALSE(viewer->with([](auto& s) { return s.busyClientId.has_value(); })) << "round " << i;
        ASSERT_TRUE(viewer->handshake(fullHandshake(22 + i)));
    }
}

TEST(ScreenServerConnections, ShutdownEndsTheViewerAndRefusesOthersUntilCleared) {
    KL_REQUIRE_SHARED_XVFB();
    ServerHarness harness;
    ASSERT_TRUE(harness.started);
    TestViewer viewer(harness.server->port());
    ASSERT_TRUE(viewer.handshake(fullHandshake(3)));
    harness.onLoop([&] { harness.server->setShutdown(true); });
    EXPECT_TRUE(viewer.waitClosed());
    EXPECT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::WaitingForViewer; }));
    {
        TestViewer refused(harness.server->port());
        EXPECT_TRUE(refused.waitClosed());
        EXPECT_FALSE(refused.with([](auto& s) { return s.helloReceived; }));
    }
    harness.onLoop([&] { harness.server->setShutdown(false); });
    TestViewer next(harness.server->port());
    EXPECT_TRUE(next.waitUntil([](auto& s) { return s.helloReceived; }));
}

TEST(ScreenServerConnections, InputDatagramsReachTheSinkWhileAViewerIsConnected) {
    KL_REQUIRE_SHARED_XVFB();
    struct Sink : InputDatagramSink {
        void handleInputDatagram(std::span<const uint8_t> datagram, const sockaddr_storage&, socklen_t) override {
            std::lock_guard lock(mutex);
            received.emplace_back(datagram.begin(), datagram.end());
        }
        void viewerChanged(const sockaddr_storage* viewer, socklen_t) override {
            std::lock_guard lock(mutex);
            changes.push_back(viewer != nullptr);
        }
        std::mutex mutex;
        std::vector<std::vector<uint8_t>> received;
        std::vector<bool> changes;
    };
    auto sink = std::make_shared<Sink>();
    uint16_t inputPort = 0;
    {
        ServerHarness harness;
        harness.server->setInputDatagramSink(sink);
        TestViewer viewer(harness.server->port());
        ASSERT_TRUE(viewer.waitUntil([](auto& s) { return s.helloReceived; }));
        inputPort = harness.server->inputSidebandPort();
        ASSERT_NE(inputPort, 0);
        int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(inputPort);
        auto mouse = viewer::mouseBytes(1, 10, 20);
        ::sendto(udp, mouse.data(), mouse.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::close(udp);
        EXPECT_TRUE(waitFor([&] {
            std::lock_guard lock(sink->mutex);
            return sink->received.size() == 1;
        }));
        std::lock_guard lock(sink->mutex);
        EXPECT_EQ(sink->received[0], mouse);
    }
    // The sideband went with the viewer.
    std::lock_guard lock(sink->mutex);
    EXPECT_EQ(sink->changes, (std::vector<bool>{true, false}));
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in again{};
    again.sin_family = AF_INET;
    again.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    again.sin_port = htons(inputPort);
    EXPECT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&again), sizeof again), 0);
    ::close(probe);
}

TEST(ScreenServerConnections, HandshakeIconHashesReachTheModelAndAResetForgetsThem) {
    KL_REQUIRE_SHARED_XVFB();
    ServerHarness harness;
    ASSERT_TRUE(harness.started);
    std::mutex mutex;
    std::vector<IconHash> held;  // mutex
    std::atomic<int> resets{0};
    harness.server->setApplicationModelHooks({[&](const IconHash& hash) {
                                                  std::lock_guard lock(mutex);
                                                  held.push_back(hash);
                                              },
                                              [&] { ++resets; }});
    IconHash a, b;
    for (uint8_t i = 0; i < 16; ++i) {
        a[i] = i;
        b[i] = uint8_t(0xF0 | i);
    }
    int resetsBefore = resets;
    {
        TestViewer viewer(harness.server->port());
        auto handshake = fullHandshake(7);
        handshake.iconHashes = {{a.begin(), a.end()}, {b.begin(), b.end()}};
        ASSERT_TRUE(viewer.handshake(handshake));
        ASSERT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::Streaming; }));
        std::lock_guard lock(mutex);
        EXPECT_EQ(held, (std::vector<IconHash>{a, b}));
    }
    // The viewer hung up: the server's reset tells the model to forget that viewer's icons.
    EXPECT_TRUE(waitFor([&] { return harness.state() == ScreenServerState::WaitingForViewer; }));
    EXPECT_TRUE(waitFor([&] { return resets > resetsBefore; }));
}

}  // namespace
}  // namespace kl::test

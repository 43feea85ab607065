// A viewer session on real loopback sockets: hello, handshake, update answers by state, and the
// ends of a connection (the viewer leaves, falls silent, or the session is dropped mid-read).
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>

#include "LoopbackClient.h"
#include "screen/protocol/ScreenWireWriter.h"
#include "screen/protocol/ServerMessages.h"
#include "screen/server/ViewerListener.h"
#include "screen/server/ViewerSession.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

// The viewer's side: a plain socket connected to a listener of the test.
struct Viewer {
    int fd = -1;
    explicit Viewer(uint16_t port) {
        socklen_t length;
        sockaddr_storage address = loopbackSocketAddress(AF_INET, port, length);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    }
    ~Viewer() { ::close(fd); }
    void send(const Bytes& bytes) { ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }
    // Exactly n bytes within 5 s, or what came before the end.
    Bytes receive(size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            uint8_t buffer[256];
            ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }
    bool closedByService() { return receive(1).empty(); }
};

Bytes shortHandshake() { return {1, 0, 0, 0, 0}; }  // a 5-byte handshake of an old viewer

struct SessionFixture : testing::Test {
    ViewerConnectionCore core{1};
    std::mutex coreLock;
    std::atomic<int> handshakes{0}, ended{0};
    std::atomic<HandshakeAction> lastAction{HandshakeAction::Ignore};
    std::mutex sessionLock;
    std::unique_ptr<ViewerSession> session;
    ViewerListener listener{::geteuid(), [this](std::shared_ptr<KLNetSocket> socket) {
                                std::lock_guard lock(sessionLock);
                                socket->setTiming({std::chrono::milliseconds(20)});
                                session = std::make_unique<ViewerSession>(std::move(socket), core, coreLock, handlers());
                                session->start();
                            }};
    Bytes updateBytes = {0x20, 0x01, 0x00, 0xEE};

    ViewerSession::Handlers handlers() {
        return {[this](HandshakeAction action) {
                    lastAction = action;
                    ++handshakes;
                },
                [this](ViewerSession& s) { return s.send(updateBytes); }, [this] { ++ended; }, {}};
    }
    void SetUp() override {
        core.reset();
        ASSERT_TRUE(listener.start(0));
    }
    void TearDown() override {
        std::lock_guard lock(sessionLock);
        session.reset();
    }
};

TEST_F(SessionFixture, GreetsAndAnswersUpdateRequestsByState) {
    Viewer viewer(listener.port());
    EXPECT_EQ(viewer.receive(writeServerHello().size()), writeServerHello());
    viewer.send(shortHandshake());
    ASSERT_TRUE(test::waitFor([&] { return handshakes == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(lastAction.load(), HandshakeAction::Activate);

    // Not streaming yet (the activation has not run): the empty update.
    viewer.send({0x20});
    EXPECT_EQ(viewer.receive(3), writeEmptyScreenUpdate());
    {
        std::lock_guard lock(coreLock);
        core.beginResolvingDisplayMode();
        core.beginReconfiguring();
        core.finishActivation(true);
    }
    viewer.send({0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0x20});  // a heartbeat, then a request
    EXPECT_EQ(viewer.receive(updateBytes.size()), updateBytes);
    EXPECT_EQ(ended, 0);
}

TEST_F(SessionFixture, EndsWhenTheViewerLeavesOrFallsSilent) {
    {
        Viewer viewer(listener.port());
        viewer.receive(writeServerHello().size());
    }
    ASSERT_TRUE(test::waitFor([&] { return ended == 1; }, std::chrono::seconds(5)));

    Viewer silent(listener.port());
    silent.receive(writeServerHello().size());
    // Heartbeats keep it open past the read limit (9 read steps of 20 ms)...
    for (int i = 0; i < 10; ++i) {
        silent.send({0x04, 0, 0, 0, 0, 0, 0, 0, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(ended, 1);
    // ...and silence closes it.
    EXPECT_TRUE(silent.closedByService());
    EXPECT_TRUE(test::waitFor([&] { return ended == 2; }, std::chrono::seconds(5)));
}

TEST_F(SessionFixture, DroppingASessionClosesOnlyItsOwnViewer) {
    Viewer first(listener.port());
    first.receive(writeServerHello().size());
    {
        std::lock_guard lock(sessionLock);
        session.reset();  // the reader is blocked on the read: it is woken and joined
    }
    EXPECT_TRUE(first.closedByService());
    EXPECT_EQ(ended, 1);

    Viewer second(listener.port());
    EXPECT_EQ(second.receive(writeServerHello().size()), writeServerHello());
    second.send({0x20});
    EXPECT_EQ(second.receive(3), writeEmptyScreenUpdate());
}

}  // namespace
}  // namespace kl

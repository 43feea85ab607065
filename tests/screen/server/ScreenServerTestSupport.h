// A screen server on the test's own main loop against a private Xvfb (one per test binary: the
// global queue's threads keep their X connections), and viewers built on the viewer stand-in's
// reader: real loopback sockets on both sides, the output sideband included.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "ViewerMessages.h"
#include "ViewerUpdateStream.h"
#include "XvfbTestSupport.h"
#include "screen/KLTDisplayConfiguration.h"
#include "screen/server/LocalScreenCaptureAppDelegate.h"
#include "screen/server/ScreenServer.h"
#include "support/TestEnvironment.h"

namespace kl::test {

inline constexpr int kScreenWidth = 640, kScreenHeight = 480;

// The binary's one X server, started by the first test that asks for it and stopped when the
// tests end (before the exit handlers, which close this thread's X connection).
class SharedXvfb : public testing::Environment {
public:
    Xvfb* get() {
        if (!server_ && std::filesystem::exists(kXvfb)) server_ = std::make_unique<Xvfb>(kScreenWidth, kScreenHeight);
        return server_ && server_->started() ? server_.get() : nullptr;
    }
    void TearDown() override { server_.reset(); }

private:
    std::unique_ptr<Xvfb> server_;
};
inline SharedXvfb* const kSharedXvfb = static_cast<SharedXvfb*>(testing::AddGlobalTestEnvironment(new SharedXvfb));
inline Xvfb* sharedXvfb() { return kSharedXvfb->get(); }
#define KL_REQUIRE_SHARED_XVFB() \
    if (!::kl::test::sharedXvfb()) GTEST_SKIP() << "Xvfb is not available"

// The service's own answers, on test ports, with the cursor image switchable off.
class TestDelegate : public LocalScreenCaptureAppDelegate {
public:
    explicit TestDelegate(uint16_t clientSideband) : LocalScreenCaptureAppDelegate({0, clientSideband, 0}) {}
    std::optional<KLTCursor> mouseCursor() override {
        if (noCursorImage) return std::nullopt;
        return LocalScreenCaptureAppDelegate::mouseCursor();
    }
    std::atomic<bool> noCursorImage{false};
};

// A UDP socket on loopback standing for the viewer's output sideband port.
class SidebandCounter {
public:
    SidebandCounter() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            uint8_t buffer[2048];
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0) continue;
                auto datagram = viewer::readSidebandDatagram(std::span<const uint8_t>(buffer, size_t(n)));
                std::lock_guard lock(mutex_);
                if (datagram && datagram->kind == viewer::SidebandDatagram::CursorPosition) {
                    ++cursorDatagrams_;
                    last_ = *datagram;
                } else {
                    ++others_;
                }
            }
        });
    }
    ~SidebandCounter() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    int cursorDatagrams() {
        std::lock_guard lock(mutex_);
        return cursorDatagrams_;
    }
    int unreadable() {
        std::lock_guard lock(mutex_);
        return others_;
    }
    viewer::SidebandDatagram last() {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    int cursorDatagrams_ = 0, others_ = 0;
    viewer::SidebandDatagram last_;
    std::thread thread_;
};

class ServerHarness {
public:
    explicit ServerHarness(std::chrono::milliseconds readStep = std::chrono::milliseconds(5000)) {
        delegate = std::make_shared<TestDelegate>(sideband.port());
        loopThread_ = std::thread([this] { loop.run(); });
        server = ScreenServer::initOnPort(0, delegate, loop, displays);
        KLNetSocket::Timing timing;
        timing.readWaitStep = readStep;
        server->setViewerTiming(timing);
        server->setState(ScreenServerState::WaitingForViewer);
        started = server->start();
        onLoop([this] { displays.startListeningForDevice(std::nullopt); });
    }
    ~ServerHarness() {
        onLoop([this] {
            server->stop();
            displays.stopListening();
        });
        loop.stop();
        loopThread_.join();
    }
    // Runs task on the server's main loop and waits for it.
    void onLoop(std::function<void()> task) {
        std::promise<void> done;
        loop.post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    ScreenServerState state() { return server->state(); }

    SidebandCounter sideband;
    MainLoop loop;
    KLTDisplayConfiguration displays{loop};
    std::shared_ptr<TestDelegate> delegate;
    std::shared_ptr<ScreenServer> server;
    bool started = false;

private:
    std::thread loopThread_;
};

// A viewer on a real socket; its reader thread feeds everything that arrives to the stand-in's
// update-stream reader.
class TestViewer {
public:
    explicit TestViewer(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        stream_.framebuffer().resize(kScreenWidth, kScreenHeight);
        reader_ = std::thread([this] {
            std::vector<uint8_t> buffer(1 << 16);
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                std::lock_guard lock(mutex_);
                stream_.feed(std::span<const uint8_t>(buffer.data(), size_t(n)));
            }
            closed_ = true;
        });
    }
    ~TestViewer() {
        stop_ = true;
        reader_.join();
        ::close(fd_);
    }
    bool connected() const { return connected_; }
    bool closed() const { return closed_; }
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return waitFor([this] { return closed_.load(); }, timeout);
    }
    bool send(const std::vector<uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Reads the stream under its lock.
    template <class F>
    auto with(F&& f) {
        std::lock_guard lock(mutex_);
        return f(stream_);
    }
    bool waitUntil(const std::function<bool(viewer::ViewerUpdateStream&)>& predicate,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([&] { return with([&](viewer::ViewerUpdateStream& s) { return predicate(s); }); }, timeout);
    }
    // Sends the handshake and waits for the resolution change that follows the display's activation.
    bool handshake(viewer::ViewerHandshake handshake) {
        return send(viewer::handshakeBytes(handshake)) &&
               waitUntil([](auto& s) { return s.resolutionWidth == kScreenWidth || s.failed(); });
    }
    // One update request and its whole answer (true when it arrived): an update closes its
    // application section; the empty update is a bare 0x20 header.
    bool requestUpdate() {
        auto [sections, updates] = with([](auto& s) { return std::pair(s.sectionsClosed, s.updatesCompleted); });
        if (!send(viewer::updateRequestBytes())) return false;
        return waitUntil([&](auto& s) {
            return s.failed() || (s.pendingBytes() == 0 && (s.sectionsClosed > sections ||
                                                            (s.updatesCompleted > updates && s.lastDesignation == 0x20)));
        });
    }
    // Asks for updates until one carries no tile (the screen has been sent, hot areas resent cold).
    bool requestUntilQuiet(int limit = 60) {
        for (int i = 0; i < limit; ++i) {
            size_t before = with([](auto& s) { return s.records.size(); });
            if (!requestUpdate()) return false;
            bool tiles = with([&](auto& s) {
                for (size_t r = before; r < s.records.size(); ++r)
                    if (s.records[r].encoding == 4 || s.records[r].encoding == 14) return true;
                return false;
            });
            if (!tiles && i > 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> stop_{false}, closed_{false};
    std::mutex mutex_;
    viewer::ViewerUpdateStream stream_;
    std::thread reader_;
};

inline viewer::ViewerHandshake fullHandshake(uint64_t clientId = 0) {
    viewer::ViewerHandshake h;
    h.clientId = clientId;
    h.width = kScreenWidth;
    h.height = kScreenHeight;
    return h;
}

}  // namespace kl::test

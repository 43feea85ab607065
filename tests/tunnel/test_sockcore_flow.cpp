// Back-pressure: bulk data to a slow reader arrives intact and in order while the core's output
// queue stays bounded, whether the bytes come from another core socket (relay, freezing the
// source) or from a thread outside the core (waiting for room).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "SockcoreTestSupport.h"
#include "tunnel/sockcore/SocketTable.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

// A plain reader that takes `total` bytes in small chunks with a pause after each, checking every
// byte against the test stream.
class SlowReader {
public:
    SlowReader(size_t total, size_t chunk, std::chrono::microseconds pause) {
        listener_ = test::plainListener(AF_INET, &port_);
        thread_ = std::thread([this, total, chunk, pause] {
            int fd = test::plainAccept(listener_, 20000);
            std::vector<char> buf(chunk);
            size_t got = 0;
            while (fd >= 0 && got < total) {
                ssize_t n = ::recv(fd, buf.data(), chunk, 0);
                if (n <= 0) break;
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[size_t(i)] != test::streamByte(got + size_t(i))) intact_ = false;
                }
                got += size_t(n);
                received_ = got;
                std::this_thread::sleep_for(pause);
            }
            if (fd >= 0) ::close(fd);
            done_ = true;
        });
    }
    ~SlowReader() {
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    bool waitDone() { return test::waitFor([&] { return done_.load(); }, 120s); }
    size_t received() const { return received_; }
    bool intact() const { return intact_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<size_t> received_{0};
    std::atomic<bool> intact_{true};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Relays one accepted connection (source) to an outgoing one (sink), freezing the source while
// the sink's queue is at the limit. Its fields are used under the core lock.
struct Relay : std::enable_shared_from_this<Relay> {
    struct Side : Plug {
        std::weak_ptr<Relay> relay;
        bool isSource;
        int closing(const char* text, int code, int) override {
            if (auto r = relay.lock()) {
                if (isSource) r->sourceEnded = true;
                else r->sinkError = code;
            }
            return 1;
        }
        int receive(int, const char* data, int len) override {
            auto r = relay.lock();
            if (!r || !isSource) return 1;
            int backlog = r->sink->write(data, len);
            r->maxBacklog = std::max(r->maxBacklog.load(), backlog);
            if (backlog >= kSocketBacklogLimit) {
                r->source->setFrozen(true);
                r->freezes++;
            }
            return 1;
        }
        void sent(int bufsize) override {
            auto r = relay.lock();
            if (r && !isSource && bufsize < kSocketBacklogResume) r->source->setFrozen(false);
        }
        int accepting(int fd) override {
            auto r = relay.lock();
            if (!r) return 1;
            r->source = sk_register(fd, r->sourcePlug);
            r->sink = sk_new(sk_namelookup("127.0.0.1", nullptr, ADDRTYPE_IPV4), r->sinkPort, false, false, true,
                             false, r->sinkPlug);
            r->source->setFrozen(false);
            return 0;
        }
    };

    static std::shared_ptr<Relay> create(int sinkPort) {
        auto r = std::make_shared<Relay>();
        r->sinkPort = sinkPort;
        for (auto* side : {&r->sourcePlug, &r->sinkPlug, &r->listenerPlug}) {
            *side = std::make_shared<Side>();
            (*side)->relay = r;
        }
        r->sourcePlug->isSource = true;
        r->listener = test::underCoreLock([&] { return sk_newlistener("127.0.0.1", 0, r->listenerPlug, true, ADDRTYPE_IPV4); });
        return r;
    }
    void close() {
        SocketCoreLock lock;
        for (auto& s : {source, sink, listener}) {
            if (s) s->close();
        }
    }

    int sinkPort = 0;
    std::shared_ptr<Side> sourcePlug, sinkPlug, listenerPlug;
    SocketPtr listener, source, sink;
    std::atomic<int> maxBacklog{0};
    std::atomic<int> freezes{0};
    std::atomic<bool> sourceEnded{false};
    std::atomic<int> sinkError{0};
};

TEST(SockcoreFlow, TwentyMegabytesThroughARelayToASlowReader) {
    constexpr size_t kTotal = 20u << 20;
    SlowReader reader(kTotal, 32 << 10, 1000us);
    auto relay = Relay::create(reader.port());
    ASSERT_EQ(test::underCoreLock([&] { return relay->listener->socketError(); }), nullptr);

    std::thread writer([port = test::portOf(sk_ossocket(relay->listener))] {
        int fd = test::plainConnect(AF_INET, port);
        std::vector<char> block(256 << 10);
        for (size_t sent = 0; fd >= 0 && sent < kTotal;) {
            size_t n = std::min(block.size(), kTotal - sent);
            for (size_t i = 0; i < n; ++i) block[i] = test::streamByte(sent + i);
            ssize_t w = ::send(fd, block.data(), n, MSG_NOSIGNAL);
            if (w <= 0) break;
            sent += size_t(w);
        }
        if (fd >= 0) ::close(fd);
    });

    EXPECT_TRUE(reader.waitDone());
    writer.join();
    EXPECT_EQ(reader.received(), kTotal);
    EXPECT_TRUE(reader.intact()) << "bytes arrived changed or out of order";
    EXPECT_GT(relay->freezes.load(), 0) << "the reader was never slow enough to push back";
    EXPECT_LE(relay->maxBacklog.load(), kSocketBacklogLimit + kReceiveBufferSize) << "the queue outgrew its bound";
    EXPECT_EQ(relay->sinkError.load(), 0);
    relay->close();
}

TEST(SockcoreFlow, WriterOutsideTheCoreWaitsForRoom) {
    constexpr size_t kTotal = 8u << 20;
    constexpr size_t kChunk = 64 << 10;
    // Slow enough that even an instrumented (tsan) writer outruns it and has to wait.
    SlowReader reader(kTotal, 32 << 10, 4000us);
    auto plug = std::make_shared<test::RecordingPlug>();
    auto s = test::underCoreLock([&] { return sk_new(sk_namelookup("127.0.0.1", nullptr, ADDRTYPE_IPV4), reader.port(), false, false, false, false, plug); });
    ASSERT_EQ(test::underCoreLock([&] { return s->socketError(); }), nullptr);

    int maxBacklog = 0, waits = 0;
    std::vector<char> chunk(kChunk);
    for (size_t sent = 0; sent < kTotal; sent += kChunk) {
        for (size_t i = 0; i < kChunk; ++i) chunk[i] = test::streamByte(sent + i);
        int backlog;
        {
            SocketCoreLock lock;  // as the tunnel's bridge writes
            backlog = s->write(chunk.data(), int(kChunk));
        }
        maxBacklog = std::max(maxBacklog, backlog);
        if (backlog >= kSocketBacklogLimit) {
            ++waits;
            ASSERT_TRUE(s->waitForRoom(30s));
        }
    }
    EXPECT_TRUE(reader.waitDone());
    EXPECT_EQ(reader.received(), kTotal);
    EXPECT_TRUE(reader.intact());
    EXPECT_GT(waits, 0);
    EXPECT_LE(maxBacklog, kSocketBacklogLimit + int(kChunk));
    EXPECT_FALSE(plug->eventsOf(test::PlugEvent::Sent).empty()) << "the owner hears the queue shrink";
    test::underCoreLock([&] { return s->close(); });
}

}  // namespace
}  // namespace kl

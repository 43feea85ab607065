// The whole RTP output path on a real X server: the server started with initForMulticast plays
// its canned viewer and sends every update as an RTP frame to two loopback destinations, read
// here by plain UDP readers and the viewer stand-in's reader.
#include <gtest/gtest.h>

#include "RTPTestReceiver.h"
#include "ScreenDistance.h"
#include "screen/rtp/RTPDisplaySizeRecord.h"
#include "screen/server/ScreenServerTestSupport.h"

namespace kl::test {
namespace {

// Joins the fragments [0..count) of each complete frame from packets[next] on into frames,
// checking the fragment headers, the marker and the timestamp steps on the way; next moves past
// what was taken.
class FrameAssembler {
public:
    std::vector<Bytes> take(const std::vector<RTPPacket>& packets) {
        std::vector<Bytes> frames;
        while (next_ < packets.size()) {
            const RTPPacket& first = packets[next_];
            EXPECT_EQ(first.version, 2);
            EXPECT_EQ(first.payloadType, 125);
            if (first.payload.size() < 2) {
                ADD_FAILURE() << "a fragment without its header";
                next_ = packets.size();
                break;
            }
            const size_t count = first.payload[1];
            if (next_ + count > packets.size()) break;  // the rest is still on its way
            Bytes frame;
            for (size_t k = 0; k < count; ++k) {
                const RTPPacket& p = packets[next_ + k];
                EXPECT_EQ(p.payload[0], k);
                EXPECT_EQ(p.payload[1], count);
                EXPECT_EQ(p.marker, k == 0) << "fragment " << k << " of " << count;
                if (expectedTimestamp_) {
                    EXPECT_EQ(p.timestamp, *expectedTimestamp_);
                }
                const size_t bytes = p.payload.size() - 2;
                EXPECT_TRUE(bytes == 6000 || k + 1 == count) << "only the last fragment may be short";
                expectedTimestamp_ = p.timestamp + (bytes < 6000 ? 50000u : 0u);
                frame.insert(frame.end(), p.payload.begin() + 2, p.payload.end());
            }
            frames.push_back(std::move(frame));
            next_ += count;
        }
        return frames;
    }

private:
    size_t next_ = 0;
    std::optional<uint32_t> expectedTimestamp_;
};

class MulticastTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sharedXvfb()) GTEST_SKIP() << "Xvfb is not available";
        ASSERT_NE(receiver.port(), 0) << "no port pair free on both loopback addresses";
        client = std::make_unique<Client>();
        client->drawTestDesktop(kScreenWidth, kScreenHeight);
        loopThread = std::thread([this] { loop.run(); });
        delegate = std::make_shared<TestDelegate>(9);
        server = ScreenServer::initForMulticast(delegate, loop, displays,
                                                {{kLoopback1, kLoopback2}, receiver.port(), -1});
        onLoop([this] {
            server->setState(ScreenServerState::WaitingForViewer);
            started = server->start();
            displays.startListeningForDevice(std::nullopt);
        });
    }
    void TearDown() override {
        if (!loopThread.joinable()) return;
        stopServer();
        loop.stop();
        loopThread.join();
    }
    void stopServer() {
        onLoop([this] {
            if (server) server->stop();
            displays.stopListening();
        });
    }
    void onLoop(std::function<void()> task) {
        std::promise<void> done;
        loop.post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    // Feeds the frames after those already taken to the viewer: an update frame's display-size
    // block first sizes the viewer's picture.
    void feedNewFrames() {
        for (Bytes& payload : assembler.take(receiver.packets(0))) {
            std::span<const uint8_t> rest(payload);
            Bytes update;
            if (!payload.empty() && payload[0] == 0x79) {
                ASSERT_GE(payload.size(), 59u);
                EXPECT_EQ(payload[1], 59);
                EXPECT_EQ(payload[2], 0);
                auto size = readRTPDisplaySizeRecord(std::span<const uint8_t, 56>(payload.data() + 3, 56));
                if (size.pixels.width > 0 && viewer.framebuffer().picture().width != int(size.pixels.width))
                    viewer.framebuffer().resize(int(size.pixels.width), int(size.pixels.height));
                lastSize = size;
                ++updateFrames;
                // The encoder's frame follows (its count word and records): the viewer reads it as
                // an update, behind the designation the main channel would carry.
                update.push_back(delegate->supportsAppInfo() ? 0x28 : 0x20);
                update.insert(update.end(), payload.begin() + 59, payload.end());
                rest = update;
            }
            viewer.feed(rest);
            ASSERT_FALSE(viewer.failed()) << viewer.failure();
            EXPECT_EQ(viewer.pendingBytes(), 0u) << "a frame holds whole messages";
        }
    }
    double distanceToScreen() {
        auto set = server->screen();
        if (!set || set->displays().size() != 1) return 1e9;
        return test::distanceToScreen(viewer.framebuffer().picture(), (*set->displays().begin())->displayID(),
                                      kScreenWidth, kScreenHeight);
    }

    RTPTestReceiver receiver{{kLoopback1, kLoopback2}};
    std::unique_ptr<Client> client;  // once the X server runs
    MainLoop loop;
    KLTDisplayConfiguration displays{loop};
    std::thread loopThread;
    std::shared_ptr<TestDelegate> delegate;
    std::shared_ptr<ScreenServer> server;
    bool started = false;
    viewer::ViewerUpdateStream viewer;
    FrameAssembler assembler;
    int updateFrames = 0;
    RTPDisplaySize lastSize;
};

TEST_F(MulticastTest, StreamsTheScreenToBothDestinationsAsFramesThatConvergeToIt) {
    ASSERT_TRUE(started);
    EXPECT_TRUE(server->isMulticast());
    EXPECT_EQ(server->connectedDeviceName(), "Broadcast");
    EXPECT_EQ(server->port(), 0);
    ASSERT_TRUE(waitFor([&] { return server->state() == ScreenServerState::Streaming; }));

    // Pass after pass the stripes refine the picture until the viewer shows the screen.
    double distance = 1e9;
    bool converged = waitFor(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            feedNewFrames();
            distance = distanceToScreen();
            return distance < 3.0;
        },
        std::chrono::seconds(60));
    EXPECT_TRUE(converged) << "distance " << distance;
    EXPECT_TRUE(viewer.helloReceived);
    EXPECT_EQ(viewer.resolutionWidth, kScreenWidth);
    EXPECT_GT(updateFrames, 2);
    EXPECT_EQ(lastSize.pixels.width, kScreenWidth);
    EXPECT_EQ(lastSize.bounds.size.height, kScreenHeight);
    EXPECT_EQ(lastSize.scale, 1.0);
    EXPECT_GT(viewer.sectionsClosed, 0);  // the application section travels in the frames too
    bool tiles = false;
    for (const auto& r : viewer.records) tiles |= r.encoding == 4 && r.pictureWidth > 0;
    EXPECT_TRUE(tiles);

    // Stopping the server closes the path: both destinations hear the goodbye.
    stopServer();
    for (size_t host = 0; host < 2; ++host) {
        EXPECT_TRUE(waitFor([&] {
            for (const auto& d : receiver.rtcp(host))
                if (rtcpByeReason(d) == "End transmission") return true;
            return false;
        })) << host;
    }
    // The second destination received the same frames.
    auto one = receiver.packets(0), two = receiver.packets(1);
    const size_t common = std::min(one.size(), two.size());
    EXPECT_GT(common, 10u);
    EXPECT_GE(common + 2, std::max(one.size(), two.size()));
    for (size_t i = 0; i < common; ++i) ASSERT_EQ(one[i].payload, two[i].payload) << i;
}

}  // namespace
}  // namespace kl::test

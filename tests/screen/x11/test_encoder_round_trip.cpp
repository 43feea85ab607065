// The whole way to a viewer: the encoder writes to a real loopback connection, the viewer stand-in
// rebuilds its framebuffer from what arrives, and once hot areas have been resent cold the picture
// matches the screen within JPEG error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <thread>

#include "ViewerUpdateStream.h"
#include "XvfbTestSupport.h"
#include "foundation/KLNetSocket.h"
#include "screen/CreateImageBufferForRect.h"
#include "screen/KLTDisplaySet.h"
#include "screen/encoder/KLTNimEncoder.h"
#include "screen/wire/TestPictures.h"

namespace kl::test {
namespace {

// A connected pair of loopback TCP descriptors (server side, viewer side); -1s on failure.
std::pair<int, int> loopbackPair() {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0) ::close(listener);
        return {-1, -1};
    }
    int viewer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(viewer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(viewer);
        ::close(listener);
        return {-1, -1};
    }
    int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    return {server, viewer};
}

// The whole display as the viewer should end up showing it; no pixels when the capture failed.
TestPicture capture(uint32_t displayID, int w, int h) {
    Size size;
    uint8_t* pixels = CreateImageBufferForRect(nullptr, displayID, &size, 1.0, Rect(0, 0, w, h));
    if (!pixels) return {};
    TestPicture picture{w, h, std::vector<uint8_t>(pixels, pixels + size_t(w) * h * 4)};
    std::free(pixels);
    return picture;
}

double framebufferPsnr(viewer::ViewerUpdateStream& stream, const TestPicture& screen) {
    return psnr(stream.framebuffer().picture().pixels, screen.width, 0, 0, screen);
}

TEST(EncoderRoundTrip, ViewerFramebufferMatchesTheScreenAfterTheCooledResend) {
    constexpr int W = 1024, H = 768;
    KL_START_XVFB(xvfb, W, H);
    Client client;
    ASSERT_TRUE(client.connected());
    client.drawTestDesktop(W, H);
    auto set = KLTDisplaySet::forActiveScreens();
    ASSERT_EQ(set->displays().size(), 1u);
    auto display = *set->displays().begin();
    auto desktop = capture(display->displayID(), W, H);
    ASSERT_FALSE(desktop.pixels.empty());

    auto [serverFd, viewerFd] = loopbackPair();
    ASSERT_GE(serverFd, 0);
    auto socket = KLNetSocket::initWithSocket(serverFd);
    ASSERT_TRUE(socket);
    // The viewer reads until the service closes, bounded in time so a fault cannot hang the test.
    Bytes received;
    std::jthread reader([&received, fd = viewerFd] {
        uint8_t chunk[65536];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 20000) > 0) {
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });

    ClientCapabilities capabilities;
    capabilities.encodingModes = kEncodingModeSqueezedJPEG;
    KLTNimEncoder encoder;
    encoder.setEncoderInformation(set, socket, capabilities);
    // Streaming starts with the whole desktop dirty; a change comes in after the first update.
    encoder.addDirtyRectangle(display->scaleCorrectedDisplayBounds());
    int updates = 0;
    auto quiet = [&] {
        return display->rectManager()->newArrayOfDirtyRectangles().empty() && display->lossyRects()->count() == 0;
    };
    do {
        encoder.encodeFrame(0, false, display);
        ++updates;
        if (updates == 1) {
            client.fill(600, 100, 300, 200, 0x3366CC);
            encoder.addDirtyRectangle(Rect(600, 100, 300, 200));
        }
    } while (!quiet() && updates < 60);
    EXPECT_TRUE(quiet());
    socket->close();
    reader.join();
    ::close(viewerFd);

    auto screen = capture(display->displayID(), W, H);
    ASSERT_FALSE(screen.pixels.empty());

    // Up to the end of the first update only hot tiles of the desktop have arrived: far from it.
    viewer::ViewerUpdateStream stream;
    stream.framebuffer().resize(W, H);
    size_t fed = 0;
    for (; fed < received.size() && stream.updatesCompleted == 0; ++fed) stream.feed({&received[fed], 1});
    const double hotQuality = framebufferPsnr(stream, desktop);
    EXPECT_LT(hotQuality, 35.0);
    stream.feed(std::span(received).subspan(fed));
    ASSERT_FALSE(stream.failed()) << stream.failure();
    EXPECT_EQ(stream.updatesCompleted, updates);
    EXPECT_EQ(stream.pendingBytes(), 0u);
    bool squeezed = false;
    for (const auto& r : stream.records) squeezed |= r.encoding == 14;
    EXPECT_TRUE(squeezed) << "the first full-screen update goes out hot and half-size";

    const double quality = framebufferPsnr(stream, screen);
    EXPECT_GE(quality, 35.0);
    RecordProperty("psnr_hot", std::to_string(hotQuality));
    RecordProperty("psnr", std::to_string(quality));
}

}  // namespace
}  // namespace kl::test

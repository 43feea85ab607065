// Cost of reading screen pixels: a full frame and a 1000 x 250 tile, through
// the shared-memory segment the encoders use and through plain XGetImage (what
// a capture without MIT-SHM, or of a remote server, falls back to), side by
// side in one run. Uses $DISPLAY, or starts a private 1920 x 1080 Xvfb when
// none is set.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchXvfb.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Monitors.h"

namespace {

// Milliseconds per capture, over enough repetitions to take about half a
// second.
double timeCapture(kl::X11Capture& capture, const kl::X11Rect& area) {
    std::vector<uint8_t> buffer(size_t(area.width) * area.height * 4);
    using Clock = std::chrono::steady_clock;
    capture.capture(area, buffer.data());  // warm up
    int runs = 0;
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(500) || runs < 5) {
        if (!capture.capture(area, buffer.data())) return -1;
        ++runs;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / runs;
}

}  // namespace

int main() {
    pid_t xvfb = -1;
    if (!std::getenv("DISPLAY")) xvfb = bench::startXvfb();
    auto connection = kl::X11Connection::open();
    if (!connection) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    kl::X11Rect screen = kl::x11RootBounds(*connection);
    {
        kl::X11Capture shm(*connection, true), plain(*connection, false);
        if (!shm.usesShm()) std::printf("note: MIT-SHM unavailable, both columns use XGetImage\n");
        struct {
            const char* name;
            kl::X11Rect area;
        } cases[] = {
            {"full frame", screen},
            {"1000 x 250 tile", {0, 0, std::min(1000, screen.width), std::min(250, screen.height)}},
        };
        std::printf("%-18s %12s %12s %12s\n", "area", "XShm ms", "XGetImage ms", "ratio");
        for (const auto& c : cases) {
            double a = timeCapture(shm, c.area), b = timeCapture(plain, c.area);
            std::printf("%-18s %12.3f %12.3f %11.1fx   (%dx%d)\n", c.name, a, b, b / a, c.area.width, c.area.height);
        }
    }  // the capturers detach before their connection closes
    connection.reset();
    bench::stopXvfb(xvfb);
    return 0;
}

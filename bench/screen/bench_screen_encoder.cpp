// Throughput of the tile encoder against plain libjpeg-turbo, side by side in one run. The encoder
// goes through whole updates of a 1920 x 1080 desktop as the service streams it (the screen marked
// dirty, sent hot, then resent cold over the following quiet updates within protocol 1's budget),
// capture and record writing included. The baseline compresses the very same tiles, with the same
// qualities and subsampling, straight from one captured frame with tjCompress2. Uses $DISPLAY, or
// starts a private Xvfb when none is set.
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchXvfb.h"
#include "platform/x11/X11Connection.h"
#include "screen/CreateImageBufferForRect.h"
#include "screen/KLTDisplaySet.h"
#include "screen/encoder/KLTNimEncoder.h"

// Last: Xlib's macros (Bool, Status, ...) clash with ordinary names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;

// Gradients, a noise band and flat blocks: a desktop that is neither trivial nor pure noise.
void drawDesktop(int w, int h) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    XImage* image = XCreateImage(d, DefaultVisual(d, 0), 24, ZPixmap, 0, nullptr, w, h, 32, 0);
    image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * h));
    uint32_t seed = 7;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned long pixel = (x * 255 / w) << 16 | (y * 255 / h) << 8 | ((x / 64 + y / 64) % 2) * 200;
            if (y > h / 3 && y < h / 3 + h / 10) {
                seed = seed * 1103515245 + 12345;
                pixel = (seed >> 8) & 0xFFFFFF;
            }
            XPutPixel(image, x, y, pixel);
        }
    }
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XPutImage(d, DefaultRootWindow(d), gc, image, 0, 0, 0, 0, w, h);
    XFreeGC(d, gc);
    XDestroyImage(image);
    XCloseDisplay(d);
}

struct Tile {
    int x, y, w, h, subsampling, quality;
};

// The JPEG tiles of an encoder's output, with the subsampling each says of itself and the quality
// that subsampling stands for (cold tiles are full chroma).
void collectTiles(const kl::Bytes& bytes, std::vector<Tile>& tiles, tjhandle decoder) {
    size_t at = 3;
    auto le16 = [&](size_t i) { return int(bytes[i] | bytes[i + 1] << 8); };
    while (at + 13 <= bytes.size()) {
        Tile t{le16(at), le16(at + 2), le16(at + 4), le16(at + 6), -1, 0};
        uint32_t length = uint32_t(bytes[at + 9] | bytes[at + 10] << 8 | bytes[at + 11] << 16 | bytes[at + 12] << 24);
        int pw, ph, colourspace;
        if (bytes[at + 8] == kl::kEncodingJPEG &&
            tjDecompressHeader3(decoder, &bytes[at + 13], length, &pw, &ph, &t.subsampling, &colourspace) == 0) {
            t.quality = t.subsampling == TJSAMP_444 ? 99 : 20;
            tiles.push_back(t);
        }
        at += 13 + length;
    }
}

}  // namespace

int main() {
    pid_t xvfb = -1;
    if (!std::getenv("DISPLAY")) xvfb = bench::startXvfb();
    auto set = kl::KLTDisplaySet::forActiveScreens();
    if (set->displays().empty()) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    auto display = *set->displays().begin();
    const kl::Rect bounds = display->scaleCorrectedDisplayBounds();
    const int W = int(bounds.size.width), H = int(bounds.size.height);
    drawDesktop(W, H);

    auto output = std::make_shared<kl::ByteBufferOutput>();
    auto encoder = std::make_unique<kl::KLTNimEncoder>();
    encoder->setEncoderInformation(set, nullptr, kl::ClientCapabilities{});
    encoder->setOutput(output);

    // One cycle: the whole screen changes, then updates until everything went out cold.
    tjhandle decoder = tjInitDecompress();
    std::vector<Tile> tiles;
    auto cycle = [&](bool collect) {
        double pixels = 0;
        encoder->addDirtyRectangle(bounds);
        do {
            output->bytes().clear();
            encoder->encodeFrame(0, false, display);
            std::vector<Tile> sent;
            collectTiles(output->bytes(), sent, decoder);
            for (const Tile& t : sent) pixels += double(t.w) * t.h;
            if (collect) tiles.insert(tiles.end(), sent.begin(), sent.end());
        } while (display->lossyRects()->count() != 0);
        return pixels;
    };
    cycle(true);  // warm up, and the tiles the baseline replays

    double encoderPixels = 0, encoderSeconds = 0;
    int cycles = 0;
    auto start = Clock::now();
    while (encoderSeconds < 2.0 || cycles < 3) {
        encoderPixels += cycle(false);
        ++cycles;
        encoderSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }

    // The same tiles from one captured frame, with nothing around the codec.
    kl::Size size;
    uint8_t* frame = kl::CreateImageBufferForRect(nullptr, display->displayID(), &size, 1.0, kl::Rect(0, 0, W, H));
    if (!frame) {
        std::fprintf(stderr, "capture failed\n");
        return 1;
    }
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = tjAlloc(int(tjBufSize(W, H, TJSAMP_444)));
    double rawPixels = 0, rawSeconds = 0;
    start = Clock::now();
    while (rawSeconds < 2.0) {
        for (const Tile& t : tiles) {
            unsigned long length = tjBufSize(W, H, TJSAMP_444);
            const uint8_t* origin = frame + (size_t(t.y) * W + t.x) * 4;
            if (tjCompress2(compressor, origin, t.w, W * 4, t.h, TJPF_BGRX, &jpeg, &length, t.subsampling, t.quality,
                            TJFLAG_NOREALLOC) != 0) {
                std::fprintf(stderr, "tjCompress2: %s\n", tjGetErrorStr2(compressor));
                return 1;
            }
            rawPixels += double(t.w) * t.h;
        }
        rawSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    tjFree(jpeg);
    tjDestroy(compressor);
    tjDestroy(decoder);
    std::free(frame);

    int hot = 0, cold = 0;
    for (const Tile& t : tiles) (t.subsampling == TJSAMP_444 ? cold : hot)++;
    const double encoderRate = encoderPixels / encoderSeconds / 1e6, rawRate = rawPixels / rawSeconds / 1e6;
    std::printf("desktop %d x %d, one cycle = %d hot + %d cold tiles, %d cycles measured\n", W, H, hot, cold, cycles);
    std::printf("%-34s %10.1f Mpixel/s\n", "encoder (capture + JPEG + records)", encoderRate);
    std::printf("%-34s %10.1f Mpixel/s\n", "tjCompress2 on the same tiles", rawRate);
    std::printf("%-34s %10.2f (goal >= 0.80)\n", "ratio", encoderRate / rawRate);
    // The X connections go before their server does.
    encoder.reset();
    kl::X11Connection::closeForThisThread();
    bench::stopXvfb(xvfb);
    return 0;
}

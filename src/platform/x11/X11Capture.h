// Reads pixels of the root window: XShmGetImage into one shared segment of the capturer when the
// server is local and has MIT-SHM, XGetImage otherwise. Output rows are BGRX, 4 bytes a pixel,
// without padding.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/x11/X11Connection.h"

namespace kl {

class X11Capture {
public:
    // The segment holds the largest tile an encoder asks for; larger areas are read in bands.
    static constexpr long kSegmentPixels = 0x60000;

    // Binds to the connection (of the calling thread); preferShm false forces XGetImage.
    explicit X11Capture(X11Connection& connection, bool preferShm = true);
    ~X11Capture();
    X11Capture(const X11Capture&) = delete;
    X11Capture& operator=(const X11Capture&) = delete;

    bool usesShm() const { return shmAddress_ != nullptr; }
    // Copies the root-window area into out (width x height x 4 bytes). Parts of the area past the
    // screen's edges are left as zero bytes. False when the server refused.
    bool capture(const X11Rect& area, uint8_t* out);

private:
    bool readClipped(const X11Rect& area, uint8_t* out, int outStride);
    bool readBand(int x, int y, int width, int height, uint8_t* out, int outStride);

    X11Connection& connection_;
    int shmId_ = -1;
    void* shmAddress_ = nullptr;
    unsigned long shmSeg_ = 0;
};

}  // namespace kl

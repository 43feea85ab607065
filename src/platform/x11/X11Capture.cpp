#include "platform/x11/X11Capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/X11Monitors.h"

namespace kl {

namespace {
Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

// Copies an image's rows as BGRX without padding; any visual other than 32-bit little-endian
// TrueColor goes pixel by pixel.
void copyImage(XImage* image, int width, int height, uint8_t* out, int outStride) {
    if (image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xFF0000 &&
        image->green_mask == 0xFF00 && image->blue_mask == 0xFF) {
        for (int row = 0; row < height; ++row)
            std::memcpy(out + size_t(row) * outStride, image->data + size_t(row) * image->bytes_per_line,
                        size_t(width) * 4);
        return;
    }
    for (int row = 0; row < height; ++row) {
        uint8_t* p = out + size_t(row) * outStride;
        for (int col = 0; col < width; ++col, p += 4) {
            unsigned long pixel = XGetPixel(image, col, row);
            auto channel = [&](unsigned long mask) {
                if (!mask) return uint8_t(0);
                int shift = __builtin_ctzl(mask);
                unsigned long max = mask >> shift;
                return uint8_t(((pixel & mask) >> shift) * 255 / max);
            };
            p[0] = channel(image->blue_mask);
            p[1] = channel(image->green_mask);
            p[2] = channel(image->red_mask);
            p[3] = 0;
        }
    }
}
}  // namespace

X11Capture::X11Capture(X11Connection& connection, bool preferShm) : connection_(connection) {
    Display* d = dpy(connection_);
    if (!preferShm || !connection_.isLocal() || !XShmQueryExtension(d)) return;
    shmId_ = shmget(IPC_PRIVATE, size_t(kSegmentPixels) * 4, IPC_CREAT | 0600);
    if (shmId_ < 0) return;
    void* address = shmat(shmId_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmId_, IPC_RMID, nullptr);
        shmId_ = -1;
        return;
    }
    XShmSegmentInfo info{};
    info.shmid = shmId_;
    info.shmaddr = static_cast<char*>(address);
    info.readOnly = False;
    bool attached = XShmAttach(d, &info);
    // Marked for removal once both sides hold it, so a crash leaves no segment behind.
    bool ok = attached && connection_.syncAndTakeError() == 0;
    shmctl(shmId_, IPC_RMID, nullptr);
    if (!ok) {
        shmdt(address);
        shmId_ = -1;
        return;
    }
    shmAddress_ = address;
    shmSeg_ = info.shmseg;
}

X11Capture::~X11Capture() {
    if (!shmAddress_) return;
    XShmSegmentInfo info{};
    info.shmseg = shmSeg_;
    info.shmid = shmId_;
    info.shmaddr = static_cast<char*>(shmAddress_);
    XShmDetach(dpy(connection_), &info);
    connection_.syncAndTakeError();
    shmdt(shmAddress_);
}

bool X11Capture::capture(const X11Rect& area, uint8_t* out) {
    if (area.width <= 0 || area.height <= 0) return true;
    size_t stride = size_t(area.width) * 4;
    X11Rect screen = x11RootBounds(connection_);
    // Reading past the screen's edge is BadMatch: read only the part on screen.
    int x1 = std::max(area.x, screen.x), y1 = std::max(area.y, screen.y);
    int x2 = std::min(area.x + area.width, screen.x + screen.width);
    int y2 = std::min(area.y + area.height, screen.y + screen.height);
    bool clipped = x1 != area.x || y1 != area.y || x2 != area.x + area.width || y2 != area.y + area.height;
    if (clipped) std::memset(out, 0, stride * area.height);
    if (x1 >= x2 || y1 >= y2) return true;
    uint8_t* start = out + size_t(y1 - area.y) * stride + size_t(x1 - area.x) * 4;
    return readClipped({x1, y1, x2 - x1, y2 - y1}, start, int(stride));
}

bool X11Capture::readClipped(const X11Rect& area, uint8_t* out, int outStride) {
    int rowsPerBand = usesShm() ? std::max(1, int(kSegmentPixels / area.width)) : area.height;
    for (int row = 0; row < area.height; row += rowsPerBand) {
        int rows = std::min(rowsPerBand, area.height - row);
        if (!readBand(area.x, area.y + row, area.width, rows, out + size_t(row) * outStride, outStride)) return false;
    }
    return true;
}

bool X11Capture::readBand(int x, int y, int width, int height, uint8_t* out, int outStride) {
    Display* d = dpy(connection_);
    int screen = DefaultScreen(d);
    if (usesShm() && long(width) * height <= kSegmentPixels) {
        XShmSegmentInfo info{};
        info.shmseg = shmSeg_;
        info.shmid = shmId_;
        info.shmaddr = static_cast<char*>(shmAddress_);
        XImage* image = XShmCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap,
                                        static_cast<char*>(shmAddress_), &info, width, height);
        if (!image) return false;
        bool ok = XShmGetImage(d, connection_.root(), image, x, y, AllPlanes);
        if (ok) copyImage(image, width, height, out, outStride);
        image->data = nullptr;  // the segment is ours, not the image's
        XDestroyImage(image);
        return ok;
    }
    XImage* image = XGetImage(d, connection_.root(), x, y, width, height, AllPlanes, ZPixmap);
    if (!image) {
        connection_.syncAndTakeError();
        return false;
    }
    copyImage(image, width, height, out, outStride);
    XDestroyImage(image);
    return true;
}

}  // namespace kl

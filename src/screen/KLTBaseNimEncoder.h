// The common base of the screen encoders: the displays being captured, the viewer's socket and
// capabilities, one deflate stream, the routing of dirty rectangles to their displays and the
// capture of any rectangle through the encoder's own shared-memory segment.
#pragma once

#include <zlib.h>

#include <memory>
#include <mutex>

#include "screen/KLTNimEncoderProtocol.h"

namespace kl {

class X11Capture;
class X11Connection;

class KLTBaseNimEncoder : public KLTNimEncoderProtocol {
public:
    KLTBaseNimEncoder();
    ~KLTBaseNimEncoder() override;
    KLTBaseNimEncoder(const KLTBaseNimEncoder&) = delete;
    KLTBaseNimEncoder& operator=(const KLTBaseNimEncoder&) = delete;

    void clearRectangles() override;
    void setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet, std::shared_ptr<KLNetSocket> socket,
                               const ClientCapabilities& capabilities) override;
    // Splits the rectangle (global, scale-corrected) between the displays it touches.
    void addDirtyRectangle(const Rect& rect) override;
    void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display) override;
    // Each encoder does its own; the base reports the contract failure.
    void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display,
                     uint32_t packetDesignation) override;
    virtual bool drivesFrameClock() { return false; }
    virtual int drivenFramerate() { return -1; }
    virtual void waitForNextFrame() {}

    // Captures a display-local rectangle of a display (see CreateImageBufferForRect); call it on
    // the encoder's thread: the segment belongs to that thread's X connection.
    uint8_t* captureRect(uint8_t* buffer, uint32_t displayID, Size* outSize, double scale, const Rect& rect);

    std::recursive_mutex& lock() { return mLock; }
    std::shared_ptr<KLTDisplaySet> displaySet();

protected:
    ClientCapabilities mCapabilities;
    double mScreenScale = 0;
    void* mCurrentFrame = nullptr;
    z_stream mDeflate_strm{};
    std::shared_ptr<KLNetSocket> mClientSocket;
    std::shared_ptr<KLTDisplaySet> mDisplaySet;
    std::recursive_mutex mLock;
    // Guards only the display-set pointer, so that screen refreshes routing dirty rectangles on the
    // main thread never wait for an update running under mLock.
    std::mutex mDisplaySetLock;
    // The capture's own connection, used only on the encoder's thread; it outlives the capture.
    std::unique_ptr<X11Connection> mCaptureConnection;
    std::unique_ptr<X11Capture> mCapture;
};

}  // namespace kl

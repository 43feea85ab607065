#include "screen/KLTBaseNimEncoder.h"

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "platform/x11/X11Capture.h"
#include "screen/CreateImageBufferForRect.h"
#include "screen/KLTDisplaySet.h"

namespace kl {

KLTBaseNimEncoder::KLTBaseNimEncoder() : mDisplaySet(std::make_shared<KLTDisplaySet>()) {
    mDeflate_strm.zalloc = Z_NULL;
    mDeflate_strm.zfree = Z_NULL;
    mDeflate_strm.opaque = Z_NULL;
    mDeflate_strm.next_in = Z_NULL;
    mDeflate_strm.avail_in = 0;
    deflateInit2(&mDeflate_strm, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY);
}

// The stream lives as long as the encoder; ending it here returns its memory.
KLTBaseNimEncoder::~KLTBaseNimEncoder() { deflateEnd(&mDeflate_strm); }

std::shared_ptr<KLTDisplaySet> KLTBaseNimEncoder::displaySet() {
    std::lock_guard lock(mDisplaySetLock);
    return mDisplaySet;
}

void KLTBaseNimEncoder::clearRectangles() {
    auto set = displaySet();
    for (const auto& display : set->displays()) display->clearRectangles();
}

void KLTBaseNimEncoder::setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet,
                                              std::shared_ptr<KLNetSocket> socket,
                                              const ClientCapabilities& capabilities) {
    // All three under the lock the frame operation runs under, so an update never sees a mix.
    std::lock_guard lock(mLock);
    {
        std::lock_guard setLock(mDisplaySetLock);
        mDisplaySet = std::move(displaySet);
    }
    mClientSocket = std::move(socket);
    mCapabilities = capabilities;
}

void KLTBaseNimEncoder::addDirtyRectangle(const Rect& rect) {
    auto set = displaySet();
    for (const auto& display : set->displays()) {
        Rect part = rect.intersection(display->scaleCorrectedDisplayBounds());
        if (!part.isNull() && part.size.width > 0 && part.size.height > 0) display->addDirtyRectangle(part);
    }
}

void KLTBaseNimEncoder::encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display) {
    encodeFrame(frame, lossyOnly, display, 0x20);
}

void KLTBaseNimEncoder::encodeFrame(int, bool, const std::shared_ptr<KLTDisplay>&, uint32_t) {
    KLAssert(false, "Must implement encodeFrame: lossyOnly: withDisplay: packetDesignation:");
}

uint8_t* KLTBaseNimEncoder::captureRect(uint8_t* buffer, uint32_t displayID, Size* outSize, double scale,
                                        const Rect& rect) {
    if (!mCapture) {
        mCaptureConnection = X11Connection::open();
        if (!mCaptureConnection) return buffer;
        mCapture = std::make_unique<X11Capture>(*mCaptureConnection);
    }
    return CreateImageBufferForRectWith(*mCapture, buffer, displayID, outSize, scale, rect);
}

}  // namespace kl

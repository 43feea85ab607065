// KLTNimRTPEncoder: the encoder of the RTP output path. Each frame fits a budget of 8000 bytes:
// first the changed areas not yet sent in this cycle, as coarse JPEG (quality 0.125), then the
// picture is refined stripe by stripe (4 rows, the display's width) at quality 0.99, the stripes
// interlaced over eight passes (rows 0, 16, 8, 20, 4, 24, 12, 28 of every 32), so that a receiver
// that keeps the frames converges to the screen.
//
// Frame layout: the 2-byte word (little-endian) holding the frame argument (the records the caller
// appends after the frame, such as the cursor) plus the number of rectangles collected, then the
// rectangle records. A receiver reads it as a screen update's count and records; the designation
// byte that leads a main-channel update is not part of an RTP frame.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/Value.h"
#include "platform/image/JpegCompressor.h"
#include "screen/KLTBaseNimEncoder.h"
#include "screen/UpdatedRectangles.h"
#include "screen/encoder/EncoderOutput.h"

namespace kl {

inline constexpr int32_t interlaceForEight[8] = {0, 4, 2, 5, 1, 6, 3, 7};

// A new buffer of width x height 4-byte pixels holding the rectangle's rows of the frame; empty
// when the rectangle is empty or does not lie within the frame.
std::vector<uint8_t> cropAndCopyFrame(std::span<const uint8_t> frame, size_t bytesPerRow, const Rect& rect);

class KLTNimRTPEncoder : public KLTBaseNimEncoder {
public:
    static constexpr size_t kFrameBudget = 8000;
    static constexpr uint64_t kSplitPixels = 0x14001;
    static constexpr double kRasterQuality = 0.125;
    static constexpr double kRefineQuality = 0.99;
    static constexpr int kStripeHeight = 4;
    static constexpr int kStripeBlock = 32;
    static constexpr size_t kLossyPointLength = 9;

    KLTNimRTPEncoder();

    using KLTBaseNimEncoder::encodeFrame;
    void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display,
                     uint32_t packetDesignation) override;
    // Where frames go; without one, nothing is written.
    void setOutput(std::shared_ptr<EncoderOutput> output);

    // One rectangle's record from width x height packed pixels: PNG for encodings 5 and 253, JPEG
    // otherwise; encoding 15 carries the 9-byte lossy point after the header. A header alone
    // (zero size, encoding 0) when no picture can be made.
    Bytes sendImageRect(const Rect& rect, const uint8_t* pixels, uint8_t encoding, double quality,
                        std::optional<std::span<const uint8_t, kLossyPointLength>> lossyPoint);
    // The same for a rectangle cut out of a whole frame.
    Bytes sendJpegRect(const Rect& rect, std::span<const uint8_t> frame, size_t bytesPerRow, double quality);
    Bytes sendPngRect(const Rect& rect, std::span<const uint8_t> frame, size_t bytesPerRow,
                      std::span<const uint8_t, kLossyPointLength> lossyPoint);

    uint64_t rasterLocation() const { return mRasterLocation; }
    uint64_t rasterInterlace() const { return mRasterInterlace; }
    UpdatedRectangles& rasterRectangles() { return *mRasterRectangles; }

private:
    // Captures a global rectangle of the display and encodes it; nothing when the capture fails.
    std::optional<Bytes> captureAndEncode(KLTDisplay& display, const Rect& rect, double quality);
    void advanceStripe(double displayHeight);

    std::shared_ptr<EncoderOutput> mOutput;
    std::shared_ptr<UpdatedRectangles> mRasterRectangles;
    uint64_t mRasterLocation = 0;
    uint64_t mRasterInterlace = 0;
    JpegCompressor mJpeg;
    std::vector<uint8_t> mCaptureBuffer;
};

}  // namespace kl

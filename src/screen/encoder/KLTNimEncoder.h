// The live screen encoder: turns each display's dirty queue into that display's part of a screen
// update. Quiet areas go out as near-lossless JPEG (cold); areas that changed in recent updates go
// out as coarse or half-size JPEG (hot) and are remembered in the display's lossy region, to be
// sent again in high quality once the heat map (the last five merged dirty regions) forgets them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Value.h"
#include "platform/image/JpegCompressor.h"
#include "screen/KLTBaseNimEncoder.h"
#include "screen/encoder/EncoderOutput.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {

class KLTNimEncoder : public KLTBaseNimEncoder {
public:
    static constexpr size_t kDirtyStackSize = 5;
    static constexpr uint32_t kSplitPixels = 0x60000;
    static constexpr uint64_t kSmallTileBytes = 0x1000;
    static constexpr uint64_t kSqueezeBytes = 0x14001;
    static constexpr uint64_t kBudgetProtocol1 = 0x28000;
    static constexpr uint64_t kBudgetProtocol0 = 0x50000;
    static constexpr float kColdQuality = 0.99f;
    static constexpr float kJpegQualitySetting = 0.3f;
    static constexpr double kSqueezeFactor = 0.5;
    static constexpr float kSqueezedJpegFactor = 0.3f;
    static constexpr double kThresholdFactor = 0.9;
    static constexpr int kHeatGrid = 10;

    using KLTBaseNimEncoder::encodeFrame;
    void setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet, std::shared_ptr<KLNetSocket> socket,
                               const ClientCapabilities& capabilities) override;
    // Writes the header and one record per tile of this display; extra counts the records the
    // caller appends after them (cursor records), and the low byte of packetDesignation is sent.
    void encodeFrame(int extra, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display,
                     uint32_t packetDesignation) override;

    // Records go here instead of the viewer's socket (null goes back to the socket).
    void setOutput(std::shared_ptr<EncoderOutput> output);
    // The service's protocol, which sets the byte budget of cold tiles: 1 (the default) or 0.
    void setActiveProtocol(int protocol) { mActiveProtocol = protocol; }

    double scoreRectangleHeat(const Rect& rect, KLTDisplay& display);
    double lossyThresholdForDisplay(KLTDisplay* display);
    // The writers; pixels hold trunc(width) x trunc(height) packed BGRX pixels of the tile.
    uint32_t sendZlibRect(const Rect& rect, const uint8_t* pixels, KLTDisplay& display);
    void sendImageRect(const Rect& rect, const uint8_t* pixels, uint8_t encoding, double quality, KLTDisplay& display);
    void sendSqueezedRect(const Rect& rect, const uint8_t* pixels, double factor, KLTDisplay& display);
    void sendDummyRect();

    // Nothing reads these; they keep the place of a bit-rate measurement.
    uint64_t timeOfLastBitRateMeasurment = 0;
    uint64_t numBitsSentThisFrame = 0;
    double avgBitRate = 0;

private:
    void send(const Bytes& bytes);
    RectHeader recordHeader(const Rect& rect, KLTDisplay& display, uint8_t encoding) const;

    std::shared_ptr<EncoderOutput> mOutput;
    bool mOutputGiven = false;
    int mActiveProtocol = 1;
    // Reused across tiles and updates: the codec with its output buffer, the capture buffer, the
    // squeezed picture and the record being written.
    JpegCompressor mJpeg;
    std::vector<uint8_t> mCaptureBuffer;
    std::vector<uint8_t> mSqueezeBuffer;
    Bytes mRecord;
};

}  // namespace kl

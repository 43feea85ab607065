// JPEG from BGRX pixels. One compressor holds its codec handle and output buffer for its whole
// life, so a screen encoder that keeps one reuses both across tiles. Not thread-safe: one owner.
#pragma once

#include <span>

#include "platform/image/PixelView.h"

namespace kl {

class JpegCompressor {
public:
    JpegCompressor();
    ~JpegCompressor();
    JpegCompressor(const JpegCompressor&) = delete;
    JpegCompressor& operator=(const JpegCompressor&) = delete;

    // The JPEG file of the picture at a compression factor of 0..1 (quality factor x 100; full
    // chroma resolution above 0.9, chroma halved both ways at 0.9 and below). The bytes stay valid
    // until the next call.
    Result<std::span<const uint8_t>> compress(const PixelView& picture, double compressionFactor);

    // The codec's 1..100 quality for a compression factor (rounded, so 0.3 in single precision is 30).
    static int qualityForFactor(double compressionFactor);
    static bool fullChromaForFactor(double compressionFactor) { return compressionFactor > 0.9; }

private:
    void* mHandle = nullptr;
    unsigned char* mBuffer = nullptr;
    unsigned long mBufferSize = 0;
};

}  // namespace kl

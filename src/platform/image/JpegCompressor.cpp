#include "platform/image/JpegCompressor.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kl {

JpegCompressor::JpegCompressor() : mHandle(tjInitCompress()) {}

JpegCompressor::~JpegCompressor() {
    if (mBuffer) tjFree(mBuffer);
    if (mHandle) tjDestroy(mHandle);
}

int JpegCompressor::qualityForFactor(double compressionFactor) {
    return std::clamp(int(std::lround(compressionFactor * 100.0)), 1, 100);
}

Result<std::span<const uint8_t>> JpegCompressor::compress(const PixelView& picture, double compressionFactor) {
    if (!picture.valid()) return Error::withDescription(kImageErrorDomain, kImageErrorBadPicture, "no picture to compress");
    if (!(compressionFactor >= 0.0 && compressionFactor <= 1.0)) {
        return Error::withDescription(kImageErrorDomain, kImageErrorBadQuality, "quality out of bounds");
    }
    if (!mHandle) return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, "no JPEG compressor");
    const int subsampling = fullChromaForFactor(compressionFactor) ? TJSAMP_444 : TJSAMP_420;
    // Grow the one buffer to the worst case up front so the codec never reallocates it.
    const unsigned long needed = tjBufSize(picture.width, picture.height, subsampling);
    if (needed == (unsigned long)-1 || needed > (unsigned long)std::numeric_limits<int>::max()) {
        return Error::withDescription(kImageErrorDomain, kImageErrorBadPicture, "picture too large for JPEG");
    }
    if (needed > mBufferSize) {
        if (mBuffer) tjFree(mBuffer);
        mBuffer = tjAlloc(int(needed));
        mBufferSize = mBuffer ? needed : 0;
        if (!mBuffer) return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, "no memory for JPEG");
    }
    unsigned long size = mBufferSize;
    const int pixelFormat = picture.format == PixelFormat::BGRA ? TJPF_BGRA : TJPF_BGRX;
    if (tjCompress2(mHandle, picture.data, picture.width, int(picture.rowBytes), picture.height, pixelFormat, &mBuffer,
                    &size, subsampling, qualityForFactor(compressionFactor), TJFLAG_NOREALLOC) != 0) {
        return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, tjGetErrorStr2(mHandle));
    }
    return std::span<const uint8_t>(mBuffer, size);
}

}  // namespace kl

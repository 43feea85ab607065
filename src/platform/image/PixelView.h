// A borrowed picture of 4-byte pixels, blue first in memory: BGRX is the screen capture's layout
// (the fourth byte is ignored), BGRA carries straight (not premultiplied) alpha for cursors and icons.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Error.h"

namespace kl {

enum class PixelFormat { BGRX, BGRA };

struct PixelView {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    size_t rowBytes = 0;  // at least width x 4
    PixelFormat format = PixelFormat::BGRX;

    static PixelView packed(const uint8_t* data, int width, int height, PixelFormat format = PixelFormat::BGRX) {
        return {data, width, height, size_t(width) * 4, format};
    }
    bool valid() const { return data != nullptr && width > 0 && height > 0 && rowBytes >= size_t(width) * 4; }
    const uint8_t* row(int y) const { return data + rowBytes * size_t(y); }
};

inline constexpr const char* kImageErrorDomain = "KLImageErrorDomain";
enum : int64_t {
    kImageErrorBadPicture = 1,  // no pixels, or rows shorter than the width
    kImageErrorBadQuality = 2,  // a compression factor outside 0..1
    kImageErrorEncoder = 3,     // the codec library refused
};

}  // namespace kl

// An image the monitor owns: 4-byte pixels, blue first, straight alpha (icons, thumbnails).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/PixelView.h"

namespace kl {

struct BitmapImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width x height x 4, rows without padding
    PixelFormat format = PixelFormat::BGRA;

    bool valid() const { return width > 0 && height > 0 && pixels.size() == size_t(width) * size_t(height) * 4; }
    PixelView view() const { return PixelView::packed(pixels.data(), width, height, format); }
};

}  // namespace kl

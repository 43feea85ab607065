// How far a viewer's picture is from what a display shows: the mean absolute difference per
// colour channel over the display-local rectangle (0, 0, width, height).
#pragma once

#include <cstdlib>

#include "ViewerFramebuffer.h"
#include "screen/CreateImageBufferForRect.h"

namespace kl::test {

inline double distanceToScreen(const viewer::Picture& picture, uint32_t displayID, int width, int height) {
    if (picture.width != width || picture.height != height) return 1e9;
    Size size;
    uint8_t* pixels = CreateImageBufferForRect(nullptr, displayID, &size, 1.0, Rect(0, 0, width, height));
    if (!pixels) return 1e9;
    double sum = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(picture.at(x, y)[c]) - int(pixels[(size_t(y) * size_t(width) + size_t(x)) * 4 + size_t(c)]));
    std::free(pixels);
    return sum / (double(width) * height * 3);
}

}  // namespace kl::test

// Test desktops in the capture's layout (BGRX, rows without gaps) and how far apart two are.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace kl::test {

struct TestPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// Smooth gradients crossed by a few hard-edged bars: lossy codecs keep it well above 35 dB.
inline TestPicture gradientPicture(int width, int height, int seed = 0) {
    TestPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &picture.pixels[(size_t(y) * width + x) * 4];
            const bool bar = ((x + seed) / 16) % 4 == 0;
            p[0] = uint8_t(bar ? 40 : (x * 255) / std::max(1, width - 1));
            p[1] = uint8_t(bar ? 200 : (y * 255) / std::max(1, height - 1));
            p[2] = uint8_t((x + y + seed * 7) % 256);
            p[3] = 0x5A;  // the ignored byte: codecs must not depend on it
        }
    }
    return picture;
}

// Peak signal-to-noise ratio over the colour bytes of the w x h rectangle at (x, y) of a
// (stride `aw`) against the whole of b; infinity when equal.
inline double psnr(const std::vector<uint8_t>& a, int aw, int x, int y, const TestPicture& b) {
    double sum = 0;
    for (int row = 0; row < b.height; ++row) {
        for (int col = 0; col < b.width; ++col) {
            const uint8_t* p = &a[(size_t(y + row) * aw + x + col) * 4];
            const uint8_t* q = &b.pixels[(size_t(row) * b.width + col) * 4];
            for (int c = 0; c < 3; ++c) sum += double(p[c] - q[c]) * double(p[c] - q[c]);
        }
    }
    const double mse = sum / (double(b.width) * b.height * 3);
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace kl::test

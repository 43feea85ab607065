#include "screen/apps/KLTImageAdditions.h"

#include <algorithm>
#include <cstdlib>

#include "screen/apps/KLTDataMD5.h"

namespace kl {

namespace {

constexpr int kIconLargest = 128;
constexpr int kIconSmallest = 64;

long pixelCount(const BitmapImage& image) { return long(image.width) * long(image.height); }

// Each target pixel averages the source pixels its footprint covers (at least the nearest one).
void scaleInto(const BitmapImage& from, BitmapImage& to) {
    for (int y = 0; y < to.height; ++y) {
        int y0 = int(long(y) * from.height / to.height);
        int y1 = std::max(y0 + 1, int(long(y + 1) * from.height / to.height));
        for (int x = 0; x < to.width; ++x) {
            int x0 = int(long(x) * from.width / to.width);
            int x1 = std::max(x0 + 1, int(long(x + 1) * from.width / to.width));
            unsigned sum[4] = {0, 0, 0, 0};
            for (int sy = y0; sy < y1; ++sy)
                for (int sx = x0; sx < x1; ++sx) {
                    const uint8_t* p = &from.pixels[(size_t(sy) * from.width + sx) * 4];
                    for (int c = 0; c < 4; ++c) sum[c] += p[c];
                }
            const unsigned n = unsigned((y1 - y0) * (x1 - x0));
            uint8_t* q = &to.pixels[(size_t(y) * to.width + x) * 4];
            for (int c = 0; c < 4; ++c) q[c] = uint8_t(sum[c] / n);
        }
    }
}

}  // namespace

std::optional<BitmapImage> newResizedImage(const BitmapImage& image, int maxPixels, std::string* hash) {
    if (!image.valid() || maxPixels <= 0) return std::nullopt;
    const double m = maxPixels;
    BitmapImage out;
    out.format = image.format;
    if (image.width <= image.height) {
        out.height = maxPixels;
        out.width = int(m / image.height * image.width);
    } else {
        out.width = maxPixels;
        out.height = int(m / image.width * image.height);
    }
    // A sliver (1000 x 1) would otherwise come out with no pixels at all.
    out.width = std::max(out.width, 1);
    out.height = std::max(out.height, 1);
    out.pixels.assign(size_t(out.width) * size_t(out.height) * 4, 0);
    scaleInto(image, out);
    if (hash) *hash = hexString(dataWithMD5OfData(out.pixels));
    return out;
}

void removeRepresentationsLargerThanSize(std::vector<BitmapImage>& representations, int largestWidth,
                                         int largestHeight, int smallestWidth, int smallestHeight) {
    const long above = long(largestWidth) * largestHeight, below = long(smallestWidth) * smallestHeight;
    std::erase_if(representations, [&](const BitmapImage& r) {
        const long n = pixelCount(r);
        return n > above || n < below;
    });
}

std::optional<BitmapImage> iconPictureFromRepresentations(std::vector<BitmapImage> representations) {
    std::erase_if(representations, [](const BitmapImage& r) { return !r.valid(); });
    if (representations.empty()) return std::nullopt;
    auto inRange = representations;
    removeRepresentationsLargerThanSize(inRange, kIconLargest, kIconLargest, kIconSmallest, kIconSmallest);
    if (!inRange.empty())
        return *std::max_element(inRange.begin(), inRange.end(),
                                 [](const auto& a, const auto& b) { return pixelCount(a) < pixelCount(b); });
    // Outside the range: the closest one, brought down to 128 pixels when it is too large.
    const long low = long(kIconSmallest) * kIconSmallest, high = long(kIconLargest) * kIconLargest;
    auto distance = [&](const BitmapImage& r) { return pixelCount(r) < low ? low - pixelCount(r) : pixelCount(r) - high; };
    const auto& closest = *std::min_element(representations.begin(), representations.end(),
                                            [&](const auto& a, const auto& b) { return distance(a) < distance(b); });
    if (pixelCount(closest) < low) return closest;
    return newResizedImage(closest, kIconLargest);
}

}  // namespace kl

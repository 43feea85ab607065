// Image helpers of the monitor: thumbnails reduced to a longest side, and application icons
// trimmed to the sizes worth sending.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "screen/apps/BitmapImage.h"

namespace kl {

// The image scaled so that its longer side is maxPixels (a smaller image is scaled up the same
// way); the other side is the integer part of the proportional size, at least 1. With hash, the
// lower-case hex MD5 of the new pixel buffer. None for an empty image or a zero maximum.
std::optional<BitmapImage> newResizedImage(const BitmapImage& image, int maxPixels, std::string* hash = nullptr);

// Drops every representation whose pixel count is above largest.width x largest.height or below
// smallest.width x smallest.height (both bounds strict, so those exact sizes stay).
void removeRepresentationsLargerThanSize(std::vector<BitmapImage>& representations, int largestWidth,
                                         int largestHeight, int smallestWidth = 0, int smallestHeight = 0);

// The one picture an icon is sent as: the largest representation between 64 x 64 and 128 x 128
// pixels; when none lies in that range, the one closest to it reduced to 128 pixels at most, so
// the record stays small; none when there is no usable representation.
std::optional<BitmapImage> iconPictureFromRepresentations(std::vector<BitmapImage> representations);

}  // namespace kl

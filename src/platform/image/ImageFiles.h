// Lossless picture files: PNG for cursor images and window thumbnails, TIFF with LZW
// compression for application icons. BGRA pictures keep their alpha; BGRX ones are written opaque.
#pragma once

#include "platform/Value.h"
#include "platform/image/PixelView.h"

namespace kl {

Result<Bytes> encodePNG(const PixelView& picture);
Result<Bytes> encodeTIFF(const PixelView& picture);

}  // namespace kl

#include <png.h>

#include <csetjmp>

#include "platform/image/ImageFiles.h"

namespace kl {

namespace {

void appendToBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// libpng reports errors by longjmp, so this function keeps no objects with destructors: the
// output buffer belongs to the caller.
bool writePng(png_structp png, png_infop info, const PixelView& picture, Bytes* out) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, out, appendToBytes, flushNothing);
    const bool alpha = picture.format == PixelFormat::BGRA;
    png_set_IHDR(png, info, png_uint_32(picture.width), png_uint_32(picture.height), 8,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);  // drop the ignored fourth byte
    for (int y = 0; y < picture.height; ++y) png_write_row(png, picture.row(y));
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

Result<Bytes> encodePNG(const PixelView& picture) {
    if (!picture.valid()) return Error::withDescription(kImageErrorDomain, kImageErrorBadPicture, "no picture to encode");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    Bytes out;
    const bool written = info && writePng(png, info, picture, &out);
    png_destroy_write_struct(&png, &info);
    if (!written) return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, "PNG encoder failed");
    return out;
}

}  // namespace kl

#include "ViewerPictures.h"

#include <png.h>
#include <turbojpeg.h>

#include <cstring>
#include <vector>

namespace viewer {

std::optional<Picture> decodeJpeg(std::span<const uint8_t> file) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    std::optional<Picture> picture;
    if (tjDecompressHeader3(handle, file.data(), (unsigned long)file.size(), &width, &height, &subsampling, &colorspace) == 0 &&
        width > 0 && height > 0 && int64_t(width) * height <= (int64_t(1) << 26)) {
        Picture decoded(width, height);
        if (tjDecompress2(handle, file.data(), (unsigned long)file.size(), decoded.pixels.data(), width, width * 4, height,
                          TJPF_BGRX, 0) == 0) {
            for (size_t i = 3; i < decoded.pixels.size(); i += 4) decoded.pixels[i] = 0;  // the X byte
            picture = std::move(decoded);
        }
    }
    tjDestroy(handle);
    return picture;
}

namespace {

std::optional<Picture> decodePngAs(std::span<const uint8_t> file, png_uint_32 format) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return std::nullopt;
    if (image.width == 0 || image.height == 0 || uint64_t(image.width) * image.height > (uint64_t(1) << 26)) {
        png_image_free(&image);
        return std::nullopt;
    }
    image.format = format;
    Picture picture(int(image.width), int(image.height));
    if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return picture;
}

}  // namespace

std::optional<Picture> decodePng(std::span<const uint8_t> file) {
    auto picture = decodePngAs(file, PNG_FORMAT_BGRA);
    if (picture) {
        for (size_t i = 3; i < picture->pixels.size(); i += 4) picture->pixels[i] = 0;  // BGRX
    }
    return picture;
}

bool writePng(const Picture& picture, const std::string& path) {
    if (picture.width <= 0 || picture.height <= 0) return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(picture.width);
    image.height = png_uint_32(picture.height);
    // The fourth byte of a framebuffer pixel is padding, so the file is written as BGR.
    image.format = PNG_FORMAT_BGR;
    std::vector<uint8_t> rows(size_t(picture.width) * size_t(picture.height) * 3);
    for (size_t i = 0, o = 0; o < rows.size(); i += 4, o += 3) std::memcpy(&rows[o], &picture.pixels[i], 3);
    const bool ok = png_image_write_to_file(&image, path.c_str(), 0, rows.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

std::optional<Picture> decodePngWithAlpha(std::span<const uint8_t> file) { return decodePngAs(file, PNG_FORMAT_BGRA); }

}  // namespace viewer

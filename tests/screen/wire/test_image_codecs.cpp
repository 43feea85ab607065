// JPEG, PNG and TIFF encoders: what they write decodes back to the picture they were given.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestPictures.h"
#include "ViewerPictures.h"
#include "platform/image/ImageFiles.h"
#include "platform/image/JpegCompressor.h"

namespace kl {
namespace {

using test::gradientPicture;
using test::psnr;

PixelView viewOf(const test::TestPicture& picture, PixelFormat format = PixelFormat::BGRX) {
    return PixelView::packed(picture.pixels.data(), picture.width, picture.height, format);
}

int jpegSubsampling(std::span<const uint8_t> file) {
    tjhandle handle = tjInitDecompress();
    int w = 0, h = 0, subsampling = -1, colorspace = 0;
    tjDecompressHeader3(handle, file.data(), (unsigned long)file.size(), &w, &h, &subsampling, &colorspace);
    tjDestroy(handle);
    return subsampling;
}

TEST(ImageCodecs, JpegQualityAndChromaFollowTheCompressionFactor) {
    const struct {
        double factor;
        int quality;
        bool fullChroma;
    } cases[] = {
        {0.9885714650154114, 99, true},   // the cold tiles' factor in single precision
        {0.30000001192092896, 30, false}, // squeezed tiles
        {0.20000000298023224, 20, false}, // hot tiles
        {0.9, 90, false},
        {0.0, 1, false},
        {1.0, 100, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JpegCompressor::qualityForFactor(c.factor), c.quality) << c.factor;
        EXPECT_EQ(JpegCompressor::fullChromaForFactor(c.factor), c.fullChroma) << c.factor;
    }
}

TEST(ImageCodecs, JpegRoundTripsWithOneCompressorAcrossTiles) {
    JpegCompressor compressor;
    const auto big = gradientPicture(200, 120);
    const auto small = gradientPicture(31, 33, 5);
    for (const auto* picture : {&big, &small, &big}) {
        auto cold = compressor.compress(viewOf(*picture), 0.9885714650154114);
        ASSERT_TRUE(cold) << cold.error().description();
        const std::vector<uint8_t> coldFile(cold->begin(), cold->end());
        EXPECT_EQ(jpegSubsampling(coldFile), TJSAMP_444);
        auto decoded = viewer::decodeJpeg(coldFile);
        ASSERT_TRUE(decoded);
        ASSERT_EQ(decoded->width, picture->width);
        ASSERT_EQ(decoded->height, picture->height);
        const double coldPsnr = psnr(decoded->pixels, decoded->width, 0, 0, *picture);
        EXPECT_GT(coldPsnr, 38);

        auto hot = compressor.compress(viewOf(*picture), 0.2);
        ASSERT_TRUE(hot);
        EXPECT_LT(hot->size(), coldFile.size());
        EXPECT_EQ(jpegSubsampling(*hot), TJSAMP_420);
        auto hotDecoded = viewer::decodeJpeg(*hot);
        ASSERT_TRUE(hotDecoded);
        EXPECT_LT(psnr(hotDecoded->pixels, hotDecoded->width, 0, 0, *picture), coldPsnr);
    }
}

TEST(ImageCodecs, JpegReadsRowsWithPadding) {
    const auto picture = gradientPicture(40, 20);
    // The same picture inside a wider buffer: only the first 40 pixels of each row count.
    std::vector<uint8_t> padded(size_t(64) * 4 * 20, 0xEE);
    for (int y = 0; y < 20; ++y) std::copy_n(&picture.pixels[size_t(y) * 160], 160, &padded[size_t(y) * 256]);
    JpegCompressor compressor;
    auto file = compressor.compress({padded.data(), 40, 20, 256, PixelFormat::BGRX}, 0.99);
    ASSERT_TRUE(file);
    auto decoded = viewer::decodeJpeg(*file);
    ASSERT_TRUE(decoded);
    EXPECT_GT(psnr(decoded->pixels, 40, 0, 0, picture), 38);
}

TEST(ImageCodecs, RefusesBadPicturesAndFactors) {
    JpegCompressor compressor;
    const auto picture = gradientPicture(8, 8);
    for (double factor : {-0.01, 1.01, double(NAN)}) {
        auto result = compressor.compress(viewOf(picture), factor);
        ASSERT_FALSE(result) << factor;
        EXPECT_EQ(result.error().description(), "quality out of bounds");
    }
    const PixelView empty{picture.pixels.data(), 0, 8, 32, PixelFormat::BGRX};
    const PixelView shortRows{picture.pixels.data(), 8, 8, 16, PixelFormat::BGRX};
    for (const PixelView& bad : {empty, shortRows}) {
        EXPECT_FALSE(compressor.compress(bad, 0.5));
        EXPECT_FALSE(encodePNG(bad));
        EXPECT_FALSE(encodeTIFF(bad));
    }
}

TEST(ImageCodecs, PngIsLosslessAndKeepsAlphaOnlyWhenAsked) {
    auto picture = gradientPicture(37, 19);
    for (size_t i = 3; i < picture.pixels.size(); i += 4) picture.pixels[i] = uint8_t(i / 4 % 256);

    auto opaque = encodePNG(viewOf(picture));
    ASSERT_TRUE(opaque) << opaque.error().description();
    auto decoded = viewer::decodePngWithAlpha(*opaque);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(psnr(decoded->pixels, 37, 0, 0, picture), INFINITY);
    for (size_t i = 3; i < decoded->pixels.size(); i += 4) ASSERT_EQ(decoded->pixels[i], 255);

    auto withAlpha = encodePNG(viewOf(picture, PixelFormat::BGRA));
    ASSERT_TRUE(withAlpha);
    auto decodedAlpha = viewer::decodePngWithAlpha(*withAlpha);
    ASSERT_TRUE(decodedAlpha);
    EXPECT_EQ(decodedAlpha->pixels, picture.pixels);
}

// Reads a TIFF file back as BGRA through a temporary file.
viewer::Picture readTiff(const Bytes& file) {
    const auto path = std::filesystem::temp_directory_path() / ("kl-icon-" + std::to_string(getpid()) + ".tiff");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    viewer::Picture picture;
    if (TIFF* tiff = TIFFOpen(path.c_str(), "r")) {
        uint32_t w = 0, h = 0;
        uint16_t compression = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
        EXPECT_EQ(compression, COMPRESSION_LZW);
        std::vector<uint32_t> abgr(size_t(w) * h);
        if (TIFFReadRGBAImageOriented(tiff, w, h, abgr.data(), ORIENTATION_TOPLEFT, 0)) {
            picture = viewer::Picture(int(w), int(h));
            for (size_t i = 0; i < abgr.size(); ++i) {
                picture.pixels[i * 4 + 0] = uint8_t(TIFFGetB(abgr[i]));
                picture.pixels[i * 4 + 1] = uint8_t(TIFFGetG(abgr[i]));
                picture.pixels[i * 4 + 2] = uint8_t(TIFFGetR(abgr[i]));
                picture.pixels[i * 4 + 3] = uint8_t(TIFFGetA(abgr[i]));
            }
        }
        TIFFClose(tiff);
    }
    std::filesystem::remove(path);
    return picture;
}

TEST(ImageCodecs, TiffIsLzwAndLossless) {
    auto picture = gradientPicture(48, 48);
    auto opaque = encodeTIFF(viewOf(picture));
    ASSERT_TRUE(opaque) << opaque.error().description();
    const viewer::Picture back = readTiff(*opaque);
    ASSERT_EQ(back.width, 48);
    EXPECT_EQ(psnr(back.pixels, 48, 0, 0, picture), INFINITY);
    // Compression is real: a flat picture shrinks far below its raw 3 bytes a pixel.
    const std::vector<uint8_t> flat(48 * 48 * 4, 0x80);
    auto flatFile = encodeTIFF(PixelView::packed(flat.data(), 48, 48));
    ASSERT_TRUE(flatFile);
    EXPECT_LT(flatFile->size(), size_t(48 * 48 * 3) / 4);

    // With alpha, fully opaque pixels keep their colour exactly and the alpha survives.
    for (size_t i = 3; i < picture.pixels.size(); i += 4) picture.pixels[i] = (i / 4) % 2 ? 255 : 128;
    auto alpha = encodeTIFF(viewOf(picture, PixelFormat::BGRA));
    ASSERT_TRUE(alpha);
    const viewer::Picture backAlpha = readTiff(*alpha);
    ASSERT_EQ(backAlpha.width, 48);
    EXPECT_EQ(backAlpha.pixels[3], 128);
    EXPECT_EQ(backAlpha.pixels[7], 255);
    EXPECT_EQ(std::vector<uint8_t>(backAlpha.pixels.begin() + 4, backAlpha.pixels.begin() + 7),
              std::vector<uint8_t>(picture.pixels.begin() + 4, picture.pixels.begin() + 7));
}

}  // namespace
}  // namespace kl

#include "screen/apps/ApplicationIconFile.h"

#include "foundation/KLTLogging.h"
#include "platform/image/ImageFiles.h"
#include "screen/apps/KLTImageAdditions.h"

namespace kl {

namespace {

std::shared_ptr<ApplicationIcon> encode(BitmapImage picture) {
    auto tiff = encodeTIFF(picture.view());
    if (!tiff) return nullptr;
    auto icon = std::make_shared<ApplicationIcon>();
    icon->picture = std::move(picture);
    icon->tiff = std::move(tiff).value();
    icon->tiffHash = dataWithMD5OfData(icon->tiff);
    return icon;
}

// A plain window shape: a light rounded card with a title band, on transparent pixels.
BitmapImage drawGenericPicture() {
    constexpr int kSide = 64;
    BitmapImage image{kSide, kSide, std::vector<uint8_t>(kSide * kSide * 4, 0), PixelFormat::BGRA};
    for (int y = 4; y < kSide - 4; ++y)
        for (int x = 4; x < kSide - 4; ++x) {
            const bool corner = (x < 8 || x >= kSide - 8) && (y < 8 || y >= kSide - 8);
            if (corner) continue;
            const bool border = x < 6 || x >= kSide - 6 || y < 6 || y >= kSide - 6;
            const uint8_t shade = border ? 0x60 : (y < 16 ? 0x90 : 0xE8);
            uint8_t* p = &image.pixels[(size_t(y) * kSide + x) * 4];
            p[0] = p[1] = p[2] = shade;
            p[3] = 0xFF;
        }
    return image;
}

}  // namespace

std::shared_ptr<const ApplicationIcon> genericApplicationIcon() {
    static const std::shared_ptr<const ApplicationIcon> icon = [] {
        auto made = encode(drawGenericPicture());
        if (made) made->generic = true;
        return std::shared_ptr<const ApplicationIcon>(made);
    }();
    return icon;
}

std::shared_ptr<const ApplicationIcon> makeApplicationIcon(std::vector<BitmapImage> representations) {
    if (auto picture = iconPictureFromRepresentations(std::move(representations)))
        if (auto icon = encode(std::move(*picture))) return icon;
    return genericApplicationIcon();
}

}  // namespace kl

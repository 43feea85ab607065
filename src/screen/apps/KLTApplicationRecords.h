// The monitor's records: one running application, one on-screen window, one icon the viewer holds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "screen/KLGeometry.h"
#include "screen/apps/BitmapImage.h"
#include "screen/apps/KLTApplicationMenu.h"
#include "screen/apps/KLTDataMD5.h"

namespace kl {

// An application's icon as it goes to the viewer: the picture, its LZW TIFF and the TIFF's MD5,
// made once when the icon is taken.
struct ApplicationIcon {
    BitmapImage picture;
    Bytes tiff;
    MD5Digest tiffHash{};
    bool generic = false;  // the application had no icon of its own
};

struct KLTApplicationState {
    std::string name;
    uint64_t applicationID = 0;
    std::shared_ptr<const ApplicationIcon> icon;
    std::shared_ptr<KLTApplicationMenu> topMenu;
    std::string iconHash;

    friend bool operator==(const KLTApplicationState& a, const KLTApplicationState& b) {
        return a.applicationID == b.applicationID;
    }
};

struct KLTIconCacheEntry {
    MD5Digest binaryHash{};
    std::optional<std::string> cacheLocation;
};

struct KLTApplicationWindow {
    uint64_t applicationID = 0;
    uint64_t windowID = 0;
    uint32_t windowZOrder = 0;
    std::shared_ptr<const BitmapImage> thumbnail;
    std::string thumbnailHash;
    Rect bounds;
    uint32_t desktopNumber = 0;
    bool freshThumbnail = false;
    std::optional<std::string> windowName;

    friend bool operator==(const KLTApplicationWindow& a, const KLTApplicationWindow& b) {
        return a.windowID == b.windowID;
    }
};

}  // namespace kl

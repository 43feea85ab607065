// The application section of a screen update: application information with names and icons,
// window thumbnails and positions, and the menus of the discovered applications.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl {

// One application (kAppInfoMsg). The name is given as UTF-8 and sent as byte-order-marked
// UTF-16; icon holds the TIFF file, left empty when the viewer already has that icon's hash.
struct AppInfo {
    uint64_t applicationID = 0;
    std::string name;
    std::array<uint8_t, 16> iconHash{};
    Bytes icon;
};

// The name as the viewer reads it: a byte-order mark, then UTF-16 in little-endian order.
// Ill-formed UTF-8 becomes U+FFFD rather than being dropped.
Bytes unicodeStringBytes(std::string_view utf8);

void writeAppInfo(Bytes& out, const AppInfo& app);
// kNewApplicationInfoMsg: the 9-byte header, then one kAppInfoMsg per application.
Bytes writeNewApplicationInfo(std::span<const AppInfo> apps);

// A window's place: coordinates already relative to the display set's origin.
struct WindowStateRecord {
    uint64_t applicationID = 0;
    uint64_t windowID = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t w = 0;
    uint16_t h = 0;
    uint16_t desktopNumber = 0;
    uint32_t windowZOrder = 0;
};

// KLApplicationThumbMsg's 35-byte header; the PNG of pngLength bytes is sent after it.
Bytes writeApplicationThumbHeader(const WindowStateRecord& window, uint32_t pngLength);
// kWindowStateSnapshotMsg: the 9-byte header {type, count, 30}, then the records.
Bytes writeWindowStateSnapshot(std::span<const WindowStateRecord> windows);

// SerializedMenuItem.flags
enum : uint16_t {
    kMenuItemEnabled = 1,
    kMenuItemApplicationTopMenu = 2,
    kMenuItemHasSubmenus = 4,
    kMenuItemChecked = 8,
};

struct SerializedMenuItem {
    uint64_t applicationID = 0;
    uint64_t elementHandle = 0;
    uint16_t flags = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t w = 0;
    uint16_t h = 0;
    uint16_t ordinal = 0;
    uint64_t parentHandle = 0;  // 0 for an application's top menu
    uint32_t cmdChar = 0;
    std::string title;          // UTF-8
};

// The 42-byte record and the title. A title longer than the 16-bit length field can say is cut
// at the last whole UTF-8 character that fits, so that the length and the bytes sent agree and
// the viewer's stream stays in step.
void writeSerializedMenuItem(Bytes& out, const SerializedMenuItem& item);
// kMenusMsg: the 9-byte header {type, count, bytes of records}, then the records.
Bytes writeMenusMessage(std::span<const SerializedMenuItem> items);

}  // namespace kl

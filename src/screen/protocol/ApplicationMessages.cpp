#include "screen/protocol/ApplicationMessages.h"

#include <limits>

#include "screen/protocol/ScreenProtocol.h"
#include "screen/protocol/ScreenWireWriter.h"

namespace kl {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one UTF-8 character at text[i] and advances i; ill-formed input (stray continuation
// bytes, overlong forms, surrogates, values past U+10FFFF, truncated tails) yields U+FFFD and
// skips one byte.
char32_t nextCodePoint(std::string_view text, size_t& i) {
    const auto lead = uint8_t(text[i]);
    size_t extra = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return kReplacementCharacter;
    }
    if (i + extra >= text.size()) {
        ++i;
        return kReplacementCharacter;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto next = uint8_t(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacementCharacter;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++i;
        return kReplacementCharacter;
    }
    i += extra + 1;
    return value;
}

// The longest prefix of at most limit bytes that ends on a character boundary.
std::string_view cutAtCharacterBoundary(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (uint8_t(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

void writeWindowRecordFields(ScreenWireWriter& w, const WindowStateRecord& window) {
    w.u64(window.applicationID).u64(window.windowID);
    w.u16(window.x).u16(window.y).u16(window.w).u16(window.h).u16(window.desktopNumber).u32(window.windowZOrder);
}

}  // namespace

Bytes unicodeStringBytes(std::string_view utf8) {
    Bytes out;
    ScreenWireWriter w(out);
    w.u16(0xFEFF);
    for (size_t i = 0; i < utf8.size();) {
        const char32_t c = nextCodePoint(utf8, i);
        if (c < 0x10000) {
            w.u16(uint16_t(c));
        } else {
            const char32_t v = c - 0x10000;
            w.u16(uint16_t(0xD800 + (v >> 10))).u16(uint16_t(0xDC00 + (v & 0x3FF)));
        }
    }
    return out;
}

void writeAppInfo(Bytes& out, const AppInfo& app) {
    const Bytes name = unicodeStringBytes(app.name);
    ScreenWireWriter w(out);
    w.u8(kAppInfoMsg).u64(app.applicationID).u32(uint32_t(name.size()));
    w.bytes(app.iconHash).u32(uint32_t(app.icon.size()));
    w.bytes(name).bytes(app.icon);
}

Bytes writeNewApplicationInfo(std::span<const AppInfo> apps) {
    Bytes out;
    ScreenWireWriter(out).u8(kNewApplicationInfoMsg).u32(uint32_t(apps.size())).u32(0);
    for (const AppInfo& app : apps) writeAppInfo(out, app);
    return out;
}

Bytes writeApplicationThumbHeader(const WindowStateRecord& window, uint32_t pngLength) {
    Bytes out;
    ScreenWireWriter w(out);
    w.u8(KLApplicationThumbMsg);
    writeWindowRecordFields(w, window);
    w.u32(pngLength);
    return out;
}

Bytes writeWindowStateSnapshot(std::span<const WindowStateRecord> windows) {
    Bytes out;
    ScreenWireWriter w(out);
    w.u8(kWindowStateSnapshotMsg).u32(uint32_t(windows.size())).u32(uint32_t(kWindowStateRecordSize));
    for (const WindowStateRecord& window : windows) writeWindowRecordFields(w, window);
    return out;
}

void writeSerializedMenuItem(Bytes& out, const SerializedMenuItem& item) {
    const std::string_view title = cutAtCharacterBoundary(item.title, std::numeric_limits<uint16_t>::max());
    ScreenWireWriter w(out);
    w.u64(item.applicationID).u64(item.elementHandle).u16(uint16_t(title.size())).u16(item.flags);
    w.u16(item.x).u16(item.y).u16(item.w).u16(item.h).u16(item.ordinal);
    w.u64(item.parentHandle).u32(item.cmdChar);
    w.bytes(title);
}

Bytes writeMenusMessage(std::span<const SerializedMenuItem> items) {
    Bytes records;
    for (const SerializedMenuItem& item : items) writeSerializedMenuItem(records, item);
    Bytes out;
    ScreenWireWriter(out).u8(kMenusMsg).u32(uint32_t(items.size())).u32(uint32_t(records.size())).bytes(records);
    return out;
}

}  // namespace kl

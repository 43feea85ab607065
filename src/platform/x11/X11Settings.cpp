#include "platform/x11/X11Settings.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace kl {

std::optional<int32_t> parseXSettingsInt(const std::vector<uint8_t>& data, const std::string& name) {
    if (data.size() < 12) return std::nullopt;
    const bool msb = data[0] == 1;
    auto card16 = [&](size_t at) {
        return msb ? uint16_t(data[at] << 8 | data[at + 1]) : uint16_t(data[at + 1] << 8 | data[at]);
    };
    auto card32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(data[at + (msb ? 3 - i : i)]) << (8 * i);
        return v;
    };
    auto pad4 = [](size_t n) { return (n + 3) & ~size_t(3); };
    uint32_t count = card32(8);
    size_t at = 12;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 4 > data.size()) return std::nullopt;
        uint8_t type = data[at];
        size_t nameLength = card16(at + 2);
        at += 4;
        if (at + pad4(nameLength) + 4 > data.size()) return std::nullopt;
        std::string settingName(reinterpret_cast<const char*>(&data[at]), nameLength);
        at += pad4(nameLength) + 4;  // name, then the serial of its last change
        size_t valueLength;
        switch (type) {
            case 0: valueLength = 4; break;
            case 1:
                if (at + 4 > data.size()) return std::nullopt;
                valueLength = 4 + pad4(card32(at));
                break;
            case 2: valueLength = 8; break;
            default: return std::nullopt;
        }
        if (at + valueLength > data.size()) return std::nullopt;
        if (type == 0 && settingName == name) return static_cast<int32_t>(card32(at));
        at += valueLength;
    }
    return std::nullopt;
}

std::optional<int32_t> x11SettingsInt(X11Connection& c, const std::string& name) {
    Display* d = static_cast<Display*>(c.display());
    std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(d));
    Atom selectionAtom = XInternAtom(d, selection.c_str(), False);
    Window owner = XGetSelectionOwner(d, selectionAtom);
    if (owner == None) return std::nullopt;
    Atom settingsAtom = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* raw = nullptr;
    std::vector<uint8_t> data;
    if (XGetWindowProperty(d, owner, settingsAtom, 0, 65536, False, settingsAtom, &type, &format, &items, &after,
                           &raw) == Success &&
        raw && format == 8)
        data.assign(raw, raw + items);
    if (raw) XFree(raw);
    c.syncAndTakeError();  // the owner may have gone in between
    return parseXSettingsInt(data, name);
}

}  // namespace kl

#include "screen/apps/ApplicationRecordSerialization.h"

#include <algorithm>

namespace kl {

namespace {

uint16_t truncated16(double value) { return uint16_t(int64_t(value)); }

}  // namespace

WindowStateRecord windowStateRecord(const KLTApplicationWindow& window, Point origin) {
    WindowStateRecord r;
    r.applicationID = window.applicationID;
    r.windowID = window.windowID;
    r.x = uint16_t(int64_t(window.bounds.origin.x) - int64_t(origin.x));
    r.y = uint16_t(int64_t(int16_t(int64_t(window.bounds.origin.y))) - int64_t(origin.y));
    r.w = truncated16(window.bounds.size.width);
    r.h = truncated16(window.bounds.size.height);
    r.desktopNumber = uint16_t(window.desktopNumber);
    r.windowZOrder = window.windowZOrder;
    return r;
}

SerializedMenuItem serializedMenuItem(const KLTApplicationMenu& menu) {
    SerializedMenuItem item;
    item.applicationID = menu.applicationID;
    item.elementHandle = menu.elementHandle;
    item.flags = uint16_t((menu.enabled ? kMenuItemEnabled : 0) | (menu.appTopMenu ? kMenuItemApplicationTopMenu : 0) |
                          (menu.hasSubMenus ? kMenuItemHasSubmenus : 0) | (menu.checked ? kMenuItemChecked : 0));
    item.x = truncated16(menu.position.x);
    item.y = truncated16(menu.position.y);
    item.w = truncated16(menu.size.width);
    item.h = truncated16(menu.size.height);
    item.ordinal = uint16_t(menu.ordinal);
    auto parent = menu.parentMenu.lock();
    item.parentHandle = (menu.appTopMenu || !parent) ? 0 : parent->elementHandle;
    item.cmdChar = menu.cmdChar;
    item.title = menu.title;
    return item;
}

void flattenMenus(const KLTApplicationMenu& top, std::vector<SerializedMenuItem>& out, std::vector<uint64_t>& seen) {
    if (std::find(seen.begin(), seen.end(), top.elementHandle) != seen.end()) return;
    seen.push_back(top.elementHandle);
    out.push_back(serializedMenuItem(top));
    for (const auto& child : top.submenus)
        if (child) flattenMenus(*child, out, seen);
}

std::vector<SerializedMenuItem> topMenuRecords(const KLTApplicationMenu& top) {
    std::vector<SerializedMenuItem> items{serializedMenuItem(top)};
    for (const auto& child : top.submenus) items.push_back(serializedMenuItem(*child));
    return items;
}

std::vector<SerializedMenuItem> lowerMenuRecords(const KLTApplicationMenu& menu) {
    std::vector<SerializedMenuItem> items;
    for (const auto& child : menu.submenus) items.push_back(serializedMenuItem(*child));
    return items;
}

}  // namespace kl

// The monitor's records as the protocol's application, window and menu records.
#pragma once

#include <vector>

#include "screen/KLGeometry.h"
#include "screen/apps/KLTApplicationRecords.h"
#include "screen/protocol/ApplicationMessages.h"

namespace kl {

// Coordinates relative to the display set's origin: x truncated, y first truncated to 16 signed
// bits, both wrapped to 16 bits as the record holds them.
WindowStateRecord windowStateRecord(const KLTApplicationWindow& window, Point origin);
SerializedMenuItem serializedMenuItem(const KLTApplicationMenu& menu);
// The top menu and every submenu below it, depth first, each element once (seen is shared
// between calls so menus of several applications do not repeat).
void flattenMenus(const KLTApplicationMenu& top, std::vector<SerializedMenuItem>& out, std::vector<uint64_t>& seen);
// A menu datagram's records: for a top menu the menu itself then its direct submenus; for a lower
// menu its direct submenus only.
std::vector<SerializedMenuItem> topMenuRecords(const KLTApplicationMenu& top);
std::vector<SerializedMenuItem> lowerMenuRecords(const KLTApplicationMenu& menu);

}  // namespace kl

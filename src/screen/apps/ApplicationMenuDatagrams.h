// The menu datagrams of the output sideband made from the monitor: an application's top menu when
// it becomes active, and the answer to the viewer's menu request (the menu's items one level down,
// or the item pressed).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/Value.h"
#include "screen/apps/KLTApplicationMonitor.h"

namespace kl {

// Refreshes the application's top menu (skipped while a poll runs) and answers the top-menu
// datagram: the menu itself, then its direct submenus. None when the application has no menu.
std::optional<Bytes> topMenuDatagram(KLTApplicationMonitor& monitor, uint64_t pid);

// A menu request: a menu with submenus is read one level down again and answered with its direct
// submenus; an item without is pressed and answered with nothing. An identifier that is not in the
// application's tree finds nothing.
std::optional<Bytes> answerMenuRequest(KLTApplicationMonitor& monitor, uint64_t elementHandle, uint64_t applicationID);

}  // namespace kl

// Datagrams of the output sideband (service to viewer): each one RectHeader and its payload.
// The cursor position datagram is writeCursorPositionRect of ServerMessages.h.
#pragma once

#include <cstdint>
#include <span>

#include "platform/Value.h"
#include "screen/protocol/ApplicationMessages.h"

namespace kl {

// The frontmost application: its process id fills the header's first 8 bytes, no payload.
Bytes writeActiveApplicationDatagram(int64_t processID);

// A menu: the header's first 8 bytes hold the described menu's element handle; the payload is the
// application id and the records (for a top menu, the menu itself first and then its direct
// submenus; for a lower menu, its direct submenus only).
Bytes writeMenuDatagram(uint64_t menuHandle, uint64_t applicationID, std::span<const SerializedMenuItem> items);

}  // namespace kl

// Records the service writes on the main channel outside the application section: hello, busy,
// resolution change, display count, section marks, the screen-update header and the rectangle
// records of an update. Writers append to a buffer, so one send can carry several records.
#pragma once

#include <cstdint>
#include <span>

#include "platform/Value.h"
#include "screen/protocol/ScreenProtocol.h"

namespace kl {

// Starts every rectangle of a screen update and every output-sideband datagram (13 bytes).
struct RectHeader {
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t w = 0;
    uint16_t h = 0;
    uint8_t encoding = 0;
    uint32_t length = 0;  // payload bytes that follow

    bool operator==(const RectHeader&) const = default;
};

void writeRectHeader(Bytes& out, const RectHeader& header);
// The header with its length set to payload's size, then the payload.
void writeRectRecord(Bytes& out, RectHeader header, std::span<const uint8_t> payload);

// 47 bytes: protocol 1.1.9 and the fixed rest.
Bytes writeServerHello();
// 9 bytes to a second viewer: the connected viewer's identifier (0 when it sent none).
Bytes writeServerBusy(uint64_t attachedClientId);
// 9 bytes: the display size in points, as the viewer is to show it.
Bytes writeResolutionChange(uint16_t width, uint16_t height);
// 3 bytes before the per-display updates when the set holds other than one display.
Bytes writeDisplayCount(uint16_t count);
// 2 bytes opening (closing = false) or closing the application section of an update.
Bytes writeAppInfoSection(bool closing);
// One display's update header: designation (0x20 or 0x28) and the number of records that follow.
void writeScreenUpdateHeader(Bytes& out, uint8_t designation, uint16_t rectangleCount);
// The reply to an update request when nothing can be produced: 20 00 00.
Bytes writeEmptyScreenUpdate();

// Cursor position (main channel and output sideband): w carries the visibility, no payload.
void writeCursorPositionRect(Bytes& out, uint16_t x, uint16_t y, bool visible);
// Cursor image: hot spot, image size, then the PNG file.
void writeCursorImageRect(Bytes& out, uint16_t hotX, uint16_t hotY, uint16_t width, uint16_t height,
                          std::span<const uint8_t> png);
// Stands in for a rectangle that could not be sent so that the update's count holds: encoding 2,
// everything else zero.
void writePlaceholderRect(Bytes& out);
// A moved rectangle at its place before the move, then the move as two signed 16-bit values.
void writeCopyRect(Bytes& out, uint16_t x, uint16_t y, uint16_t w, uint16_t h, int16_t dx, int16_t dy);

}  // namespace kl

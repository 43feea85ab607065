#include "screen/protocol/ServerMessages.h"

#include "screen/protocol/ScreenWireWriter.h"

namespace kl {

void writeRectHeader(Bytes& out, const RectHeader& header) {
    ScreenWireWriter(out).u16(header.x).u16(header.y).u16(header.w).u16(header.h).u8(header.encoding).u32(header.length);
}

void writeRectRecord(Bytes& out, RectHeader header, std::span<const uint8_t> payload) {
    header.length = uint32_t(payload.size());
    writeRectHeader(out, header);
    ScreenWireWriter(out).bytes(payload);
}

Bytes writeServerHello() {
    Bytes out{kServerHelloMsg, 0x01, 0x01, 0x09, 0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00};
    out.resize(kServerHelloSize, 0);
    return out;
}

Bytes writeServerBusy(uint64_t attachedClientId) {
    Bytes out;
    ScreenWireWriter(out).u8(kServerBusyMsg).u64(attachedClientId);
    return out;
}

Bytes writeResolutionChange(uint16_t width, uint16_t height) {
    Bytes out;
    ScreenWireWriter(out).u8(kResolutionChangeMsg).zeros(4).u16(width).u16(height);
    return out;
}

Bytes writeDisplayCount(uint16_t count) {
    Bytes out;
    ScreenWireWriter(out).u8(kDisplayCountMsg).u16(count);
    return out;
}

Bytes writeAppInfoSection(bool closing) { return Bytes{kAppInfoSectionMsg, uint8_t(closing ? 1 : 0)}; }

void writeScreenUpdateHeader(Bytes& out, uint8_t designation, uint16_t rectangleCount) {
    ScreenWireWriter(out).u8(designation).u16(rectangleCount);
}

Bytes writeEmptyScreenUpdate() {
    Bytes out;
    writeScreenUpdateHeader(out, kScreenUpdateMsg, 0);
    return out;
}

void writeCursorPositionRect(Bytes& out, uint16_t x, uint16_t y, bool visible) {
    writeRectHeader(out, {x, y, uint16_t(visible ? 1 : 0), 0, kEncodingCursorPosition, 0});
}

void writeCursorImageRect(Bytes& out, uint16_t hotX, uint16_t hotY, uint16_t width, uint16_t height,
                          std::span<const uint8_t> png) {
    writeRectRecord(out, {hotX, hotY, width, height, kEncodingCursorImage, 0}, png);
}

void writePlaceholderRect(Bytes& out) { writeRectHeader(out, {0, 0, 0, 0, kEncodingCursorPosition, 0}); }

void writeCopyRect(Bytes& out, uint16_t x, uint16_t y, uint16_t w, uint16_t h, int16_t dx, int16_t dy) {
    writeRectHeader(out, {x, y, w, h, kEncodingCopyRect, 4});
    ScreenWireWriter(out).i16(dx).i16(dy);
}

}  // namespace kl

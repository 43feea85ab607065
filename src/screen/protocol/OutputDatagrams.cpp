#include "screen/protocol/OutputDatagrams.h"

#include "screen/protocol/ScreenProtocol.h"
#include "screen/protocol/ScreenWireWriter.h"
#include "screen/protocol/ServerMessages.h"

namespace kl {

namespace {

// The 8 bytes of x, y, w and h carry one 64-bit value in these datagrams.
RectHeader headerCarrying(uint64_t value, uint8_t encoding) {
    return {uint16_t(value), uint16_t(value >> 16), uint16_t(value >> 32), uint16_t(value >> 48), encoding, 0};
}

}  // namespace

Bytes writeActiveApplicationDatagram(int64_t processID) {
    Bytes out;
    writeRectHeader(out, headerCarrying(uint64_t(processID), kEncodingActiveApplication));
    return out;
}

Bytes writeMenuDatagram(uint64_t menuHandle, uint64_t applicationID, std::span<const SerializedMenuItem> items) {
    Bytes payload;
    ScreenWireWriter(payload).u64(applicationID);
    for (const SerializedMenuItem& item : items) writeSerializedMenuItem(payload, item);
    Bytes out;
    writeRectRecord(out, headerCarrying(menuHandle, kEncodingMenus), payload);
    return out;
}

}  // namespace kl

#include "tunnel/protocol/TunnexDatagramClass.h"

#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"

namespace kl {

bool isHelloForMagic(uint16_t magic) {
    return magic == kTunnexAhoyOriginator || magic == kTunnexAhoyResponder || magic == kTunnexHelloOriginator ||
           magic == kTunnexHelloResponder;
}

bool isConfirmForMagic(uint16_t magic) { return magic == kTunnexPeerConfirmMsg || magic == kTunnexConfirmWord; }

bool isAcceptForMagic(uint16_t magic) { return magic == kTunnexAcceptWord || magic == kTunnexPeerAcceptMsg; }

bool isUDTPacketForMagic(uint16_t magic) { return magic == kTunnexUDTDataMagic || magic == kTunnexUDTControlMagic; }

TunnexPeerDatagram classifyTunnexDatagram(std::span<const uint8_t> datagram) {
    TunnexPeerDatagram result;
    if (datagram.size() < 2) return result;
    TunnexWireReader reader(datagram);
    const uint16_t magic = reader.u16(0);
    result.magic = magic;

    if (magic == kTunnexServerReplyMagic) {
        result.kind = TunnexDatagramKind::ServerReply;
        return result;
    }
    const bool ahoy = magic == kTunnexAhoyOriginator || magic == kTunnexAhoyResponder;
    const bool acknowledgement = magic == kTunnexPeerConfirmMsg || magic == kTunnexPeerAcceptMsg;
    if (ahoy || acknowledgement) {
        if (!reader.contains(kTunnexRecordTransactionOffset, 8)) return result;  // too short: unexpected
        result.isRecord = true;
        result.transactionId = int64_t(reader.u64(kTunnexRecordTransactionOffset));
    }
    if (acknowledgement) {
        result.uuid = reader.text(kTunnexRecordUUIDOffset, kTunnexRecordUUIDLength);
        if (!result.uuid) {  // no terminating zero inside the field
            result.isRecord = false;
            result.transactionId = 0;
            return result;
        }
    }
    if (isHelloForMagic(magic)) result.kind = TunnexDatagramKind::Hello;
    else if (isConfirmForMagic(magic)) result.kind = TunnexDatagramKind::Confirm;
    else if (isAcceptForMagic(magic)) result.kind = TunnexDatagramKind::Accept;
    else if (isUDTPacketForMagic(magic)) result.kind = TunnexDatagramKind::UDTPacket;
    return result;
}

Bytes tunnexMainChannelHeader(uint8_t type) { return {0x02, 0xA4, 0x01, 0x01, 0x00, type}; }

Bytes tunnexForwardDatagramMessage(uint32_t channelHash, std::span<const uint8_t> payload) {
    return encodeTunnexForwardDatagram(channelHash, payload);
}

}  // namespace kl

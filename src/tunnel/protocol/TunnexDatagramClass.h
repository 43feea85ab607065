// Classification of the datagrams that reach a tunnel peer's UDP socket, without I/O: the first two
// bytes (little-endian) name the class, and the records behind some words carry a transaction id
// and the sender's machine UUID. Every field is length-checked; a datagram too short for what its
// word promises is classified as unexpected.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/Value.h"

namespace kl {

// Words of the hole-punch exchange.
inline constexpr uint16_t kTunnexAhoyOriginator = 0xFACE;
inline constexpr uint16_t kTunnexAhoyResponder = 0xBABE;
// The AHOY word this side sends in the given role.
constexpr uint16_t tunnexAhoyMagic(bool originator) { return originator ? kTunnexAhoyOriginator : kTunnexAhoyResponder; }
inline constexpr uint16_t kTunnexHelloOriginator = 0xCAFE;
inline constexpr uint16_t kTunnexHelloResponder = 0xBEEF;
inline constexpr uint16_t kTunnexPeerConfirmMsg = 0xDEED;  // acknowledgement record, confirm type
inline constexpr uint16_t kTunnexConfirmWord = 0xF00D;
inline constexpr uint16_t kTunnexPeerAcceptMsg = 0xD00D;  // acknowledgement record, accept type
inline constexpr uint16_t kTunnexAcceptWord = 0xFEED;
inline constexpr uint16_t kTunnexUDTDataMagic = 0x0800;
inline constexpr uint16_t kTunnexUDTControlMagic = 0x0080;

// The transaction id of AHOY and acknowledgement records lies at 4..11; the UUID of an
// acknowledgement record is a zero-terminated text in the 48 bytes from offset 12.
inline constexpr size_t kTunnexRecordTransactionOffset = 4;
inline constexpr size_t kTunnexRecordUUIDOffset = 12;
inline constexpr size_t kTunnexRecordUUIDLength = 48;

bool isHelloForMagic(uint16_t magic);
bool isConfirmForMagic(uint16_t magic);
bool isAcceptForMagic(uint16_t magic);
bool isUDTPacketForMagic(uint16_t magic);

enum class TunnexDatagramKind { Unexpected, ServerReply, Hello, Confirm, Accept, UDTPacket };

struct TunnexPeerDatagram {
    TunnexDatagramKind kind = TunnexDatagramKind::Unexpected;
    uint16_t magic = 0;   // 0 when the datagram has fewer than 2 bytes
    bool isRecord = false;  // an AHOY or acknowledgement record rather than a short word
    int64_t transactionId = 0;
    std::optional<std::string> uuid;  // acknowledgement records only
};

// Tests in the order server reply, hello, confirm, accept, UDT packet; the first match decides.
TunnexPeerDatagram classifyTunnexDatagram(std::span<const uint8_t> datagram);

// Main-channel message types that the connection set-up sends.
inline constexpr uint8_t kTunnexForwardDatagramMsg = 3;
inline constexpr uint8_t kTunnexWillEncryptMsg = 7;
inline constexpr uint8_t kTunnexWontEncryptMsg = 8;

// The 6-byte header of every main-channel message, 02 A4 01 01 00 and the type; the whole message
// for the types without a body.
Bytes tunnexMainChannelHeader(uint8_t type);

// The main-channel message that relays a datagram of a datagram forward: the 6-byte header
// 02 A4 01 01 00 03, the forward's channel hash (u32 little-endian), then the payload.
Bytes tunnexForwardDatagramMessage(uint32_t channelHash, std::span<const uint8_t> payload);

}  // namespace kl

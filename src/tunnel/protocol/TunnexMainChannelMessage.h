// The main channel's messages, without I/O. Every message is one UDT message: a 6-byte header
// (mark 0xA402 little-endian, the bytes 01 01 00, the type) and the type's fixed fields behind it.
// Integers are little-endian, ports in host order, host names zero-terminated in a 256-byte field.
//
// The reader refuses what does not fit: a message shorter than its type's fixed fields, an
// unknown type, a wrong mark, or a host field without its terminator decodes to a refusal that the
// caller logs; nothing is read past the end of the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "platform/Value.h"

namespace kl {

inline constexpr uint16_t kTunnexMainChannelMark = 0xA402;
inline constexpr size_t kTunnexMainChannelHeaderLength = 6;
inline constexpr size_t kTunnexMainChannelHostLength = 256;

// A forward's host name: not empty, and short enough for the messages' zero-terminated field.
bool tunnexForwardHostFits(const std::string& host);

enum class TunnexMainChannelMessageType : uint8_t {
    AddForwardMsg = 0,
    TunnexLocalUDPForward = 1,
    AddRemoteUDPForwardMsg = 2,
    ForwardDatagramMsg = 3,
    DHPublicKeyMsg = 4,
    DHPublicKeyAck = 5,
    DHEncryptedCEKMsg = 6,
    WillEncryptMsg = 7,
    WontEncryptMsg = 8,
    Goodbye = 9,
    ForwardSuccessResult = 10,
    TunnexSocketCloseMsg = 11,
    LifeCheckMsg = 12,
};
inline constexpr uint8_t kTunnexMainChannelLastType = 12;

// The shortest message of each type (header included); 0 for an unknown type.
size_t tunnexMainChannelMinimumLength(uint8_t type);
// "AddForwardMsg", ...; "unknown" for other values.
const char* tunnexMainChannelTypeName(uint8_t type);

// Types 0 (stream forward) and 1 (local datagram forward): where the receiver is to connect.
struct TunnexForwardRequest {
    std::string host;
    uint16_t port = 0;
    uint32_t chanHash = 0;
};

// Type 2: the port the receiver is to listen on for datagrams, and the forward's hash.
struct TunnexRemoteUDPForwardRequest {
    uint16_t port = 0;
    uint32_t chanHash = 0;
};

// Type 3: one datagram of a datagram forward.
struct TunnexForwardDatagram {
    uint32_t chanHash = 0;
    Bytes payload;
};

// The kinds of forward that a type-10 result answers.
enum class TunnexForwardKind : uint8_t { Stream = 0, LocalDatagram = 1, RemoteDatagram = 2 };

// Type 10: the answer to a forward request. A stream forward fills host, port and success; a local
// datagram forward also the hash; a remote datagram forward only the hash and success. Fields a
// kind leaves unset are written as zeros and read as empty.
struct ForwardSuccessResult {
    uint8_t forwardKind = 0;
    std::string host;
    uint16_t port = 0;
    uint32_t chanHash = 0;
    bool success = false;
};

// Types 4 (public value) and 6 (wrapped key): the key material behind the header.
struct TunnexKeyMaterial {
    Bytes bytes;
};

// Type 11: the data channel of that hash was closed on the sender's side.
struct TunnexSocketClose {
    uint32_t chanHash = 0;
};

// Types 5, 7, 8, 9 and 12 carry nothing but their type.
struct TunnexMainChannelMessage {
    TunnexMainChannelMessageType type = TunnexMainChannelMessageType::LifeCheckMsg;
    std::variant<std::monostate, TunnexForwardRequest, TunnexRemoteUDPForwardRequest, TunnexForwardDatagram,
                 TunnexKeyMaterial, ForwardSuccessResult, TunnexSocketClose>
        body;
};

enum class TunnexMainChannelRefusal {
    None,
    WrongMark,    // shorter than a mark, or not 02 A4
    NoHeader,     // a mark but not the whole header
    UnknownType,  // 13 to 255
    TooShort,     // shorter than the type's fixed fields
    BadHost,      // a host field without its terminator
    BadValue,     // a field outside its range (forward kind, success flag)
};
const char* tunnexMainChannelRefusalText(TunnexMainChannelRefusal refusal);

struct TunnexMainChannelDecoded {
    TunnexMainChannelRefusal refusal = TunnexMainChannelRefusal::None;
    uint8_t type = 0;  // the type byte when the header was whole
    TunnexMainChannelMessage message;  // valid when refusal is None
    bool ok() const { return refusal == TunnexMainChannelRefusal::None; }
};

TunnexMainChannelDecoded decodeTunnexMainChannelMessage(std::span<const uint8_t> message);

// Writers. Those with a host field answer nothing for a host of 256 bytes or more, or one with a
// zero byte in it: such a host cannot be carried.
Bytes tunnexMainChannelHeader(TunnexMainChannelMessageType type);
std::optional<Bytes> encodeTunnexForwardRequest(TunnexMainChannelMessageType type, const TunnexForwardRequest& request);
Bytes encodeTunnexRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request);
Bytes encodeTunnexForwardDatagram(uint32_t chanHash, std::span<const uint8_t> payload);
Bytes encodeTunnexKeyMessage(TunnexMainChannelMessageType type, std::span<const uint8_t> keyMaterial);
std::optional<Bytes> encodeTunnexForwardResult(const ForwardSuccessResult& result);
Bytes encodeTunnexSocketClose(uint32_t chanHash);

}  // namespace kl

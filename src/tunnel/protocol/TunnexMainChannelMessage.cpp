#include "tunnel/protocol/TunnexMainChannelMessage.h"

#include <algorithm>
#include <cstring>

namespace kl {

namespace {

using Type = TunnexMainChannelMessageType;

// Offsets of the fixed fields.
constexpr size_t kForwardHostOffset = 6, kForwardPortOffset = 262, kForwardHashOffset = 264, kForwardLength = 268;
constexpr size_t kRemoteUDPPortOffset = 6, kRemoteUDPHashOffset = 8, kRemoteUDPLength = 12;
constexpr size_t kDatagramHashOffset = 6, kDatagramPayloadOffset = 10;
constexpr size_t kResultKindOffset = 6, kResultHostOffset = 7, kResultPortOffset = 263, kResultHashOffset = 265,
                 kResultSuccessOffset = 269, kResultLength = 270;
constexpr size_t kCloseHashOffset = 6, kCloseLength = 10;
constexpr size_t kPublicValueLength = 128, kWrappedKeyLength = 48;

uint16_t readU16(std::span<const uint8_t> bytes, size_t offset) {
    return uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t readU32(std::span<const uint8_t> bytes, size_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

void writeU16(Bytes& bytes, size_t offset, uint16_t value) {
    bytes[offset] = uint8_t(value);
    bytes[offset + 1] = uint8_t(value >> 8);
}

void writeU32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

// The text before the terminator; nothing when the field holds no terminator.
std::optional<std::string> readHost(std::span<const uint8_t> bytes, size_t offset) {
    auto field = bytes.subspan(offset, kTunnexMainChannelHostLength);
    auto end = std::find(field.begin(), field.end(), uint8_t(0));
    if (end == field.end()) return std::nullopt;
    return std::string(field.begin(), end);
}

// An empty host is written as it is: the field stays all zeros.
bool writeHost(Bytes& bytes, size_t offset, const std::string& host) {
    if (!host.empty() && !tunnexForwardHostFits(host)) return false;
    std::memcpy(bytes.data() + offset, host.data(), host.size());
    return true;  // the rest of the field, terminator included, is already zero
}

Bytes messageOfLength(Type type, size_t length) {
    Bytes bytes(length, 0);
    const Bytes header = tunnexMainChannelHeader(type);
    std::copy(header.begin(), header.end(), bytes.begin());
    return bytes;
}

}  // namespace

bool tunnexForwardHostFits(const std::string& host) {
    return !host.empty() && host.size() < kTunnexMainChannelHostLength && host.find('\0') == std::string::npos;
}

size_t tunnexMainChannelMinimumLength(uint8_t type) {
    switch (type) {
        case uint8_t(Type::AddForwardMsg):
        case uint8_t(Type::TunnexLocalUDPForward): return kForwardLength;
        case uint8_t(Type::AddRemoteUDPForwardMsg): return kRemoteUDPLength;
        case uint8_t(Type::ForwardDatagramMsg): return kDatagramPayloadOffset;
        case uint8_t(Type::DHPublicKeyMsg): return kTunnexMainChannelHeaderLength + kPublicValueLength;
        case uint8_t(Type::DHEncryptedCEKMsg): return kTunnexMainChannelHeaderLength + kWrappedKeyLength;
        case uint8_t(Type::ForwardSuccessResult): return kResultLength;
        case uint8_t(Type::TunnexSocketCloseMsg): return kCloseLength;
        case uint8_t(Type::DHPublicKeyAck):
        case uint8_t(Type::WillEncryptMsg):
        case uint8_t(Type::WontEncryptMsg):
        case uint8_t(Type::Goodbye):
        case uint8_t(Type::LifeCheckMsg): return kTunnexMainChannelHeaderLength;
        default: return 0;
    }
}

const char* tunnexMainChannelTypeName(uint8_t type) {
    static const char* const names[] = {
        "AddForwardMsg",  "TunnexLocalUDPForward", "AddRemoteUDPForwardMsg", "ForwardDatagramMsg",
        "DHPublicKeyMsg", "DHPublicKeyAck",        "DHEncryptedCEKMsg",      "WillEncryptMsg",
        "WontEncryptMsg", "Goodbye",               "ForwardSuccessResult",   "TunnexSocketCloseMsg",
        "LifeCheckMsg",
    };
    return type <= kTunnexMainChannelLastType ? names[type] : "unknown";
}

const char* tunnexMainChannelRefusalText(TunnexMainChannelRefusal refusal) {
    switch (refusal) {
        case TunnexMainChannelRefusal::None: return "none";
        case TunnexMainChannelRefusal::WrongMark: return "wrong mark";
        case TunnexMainChannelRefusal::NoHeader: return "incomplete header";
        case TunnexMainChannelRefusal::UnknownType: return "unknown type";
        case TunnexMainChannelRefusal::TooShort: return "shorter than its fields";
        case TunnexMainChannelRefusal::BadHost: return "host field without terminator";
        case TunnexMainChannelRefusal::BadValue: return "field out of range";
    }
    return "unknown";
}

TunnexMainChannelDecoded decodeTunnexMainChannelMessage(std::span<const uint8_t> bytes) {
    TunnexMainChannelDecoded decoded;
    auto refuse = [&decoded](TunnexMainChannelRefusal refusal) {
        decoded.refusal = refusal;
        return decoded;
    };
    if (bytes.size() < 2 || readU16(bytes, 0) != kTunnexMainChannelMark) return refuse(TunnexMainChannelRefusal::WrongMark);
    if (bytes.size() < kTunnexMainChannelHeaderLength) return refuse(TunnexMainChannelRefusal::NoHeader);
    decoded.type = bytes[5];
    const size_t minimum = tunnexMainChannelMinimumLength(decoded.type);
    if (minimum == 0) return refuse(TunnexMainChannelRefusal::UnknownType);
    if (bytes.size() < minimum) return refuse(TunnexMainChannelRefusal::TooShort);

    TunnexMainChannelMessage& message = decoded.message;
    message.type = Type(decoded.type);
    switch (message.type) {
        case Type::AddForwardMsg:
        case Type::TunnexLocalUDPForward: {
            auto host = readHost(bytes, kForwardHostOffset);
            if (!host) return refuse(TunnexMainChannelRefusal::BadHost);
            message.body = TunnexForwardRequest{*host, readU16(bytes, kForwardPortOffset), readU32(bytes, kForwardHashOffset)};
            break;
        }
        case Type::AddRemoteUDPForwardMsg:
            message.body = TunnexRemoteUDPForwardRequest{readU16(bytes, kRemoteUDPPortOffset),
                                                         readU32(bytes, kRemoteUDPHashOffset)};
            break;
        case Type::ForwardDatagramMsg:
            message.body = TunnexForwardDatagram{readU32(bytes, kDatagramHashOffset),
                                                 Bytes(bytes.begin() + kDatagramPayloadOffset, bytes.end())};
            break;
        case Type::DHPublicKeyMsg:
        case Type::DHEncryptedCEKMsg:
            message.body = TunnexKeyMaterial{Bytes(bytes.begin() + kTunnexMainChannelHeaderLength, bytes.end())};
            break;
        case Type::ForwardSuccessResult: {
            ForwardSuccessResult result;
            result.forwardKind = bytes[kResultKindOffset];
            const uint8_t success = bytes[kResultSuccessOffset];
            if (result.forwardKind > uint8_t(TunnexForwardKind::RemoteDatagram) || success > 1) {
                return refuse(TunnexMainChannelRefusal::BadValue);
            }
            result.success = success == 1;
            result.chanHash = readU32(bytes, kResultHashOffset);
            // A remote datagram forward leaves host and port unset: they are not read.
            if (result.forwardKind != uint8_t(TunnexForwardKind::RemoteDatagram)) {
                auto host = readHost(bytes, kResultHostOffset);
                if (!host) return refuse(TunnexMainChannelRefusal::BadHost);
                result.host = *host;
                result.port = readU16(bytes, kResultPortOffset);
            }
            // A stream forward leaves the hash unset.
            if (result.forwardKind == uint8_t(TunnexForwardKind::Stream)) result.chanHash = 0;
            message.body = result;
            break;
        }
        case Type::TunnexSocketCloseMsg:
            message.body = TunnexSocketClose{readU32(bytes, kCloseHashOffset)};
            break;
        default:
            break;  // the types that carry nothing
    }
    return decoded;
}

Bytes tunnexMainChannelHeader(TunnexMainChannelMessageType type) {
    return Bytes{uint8_t(kTunnexMainChannelMark & 0xFF), uint8_t(kTunnexMainChannelMark >> 8), 0x01, 0x01, 0x00,
                 uint8_t(type)};
}

std::optional<Bytes> encodeTunnexForwardRequest(TunnexMainChannelMessageType type, const TunnexForwardRequest& request) {
    if (type != Type::AddForwardMsg && type != Type::TunnexLocalUDPForward) return std::nullopt;
    Bytes bytes = messageOfLength(type, kForwardLength);
    if (!writeHost(bytes, kForwardHostOffset, request.host)) return std::nullopt;
    writeU16(bytes, kForwardPortOffset, request.port);
    writeU32(bytes, kForwardHashOffset, request.chanHash);
    return bytes;
}

Bytes encodeTunnexRemoteUDPForward(const TunnexRemoteUDPForwardRequest& request) {
    Bytes bytes = messageOfLength(Type::AddRemoteUDPForwardMsg, kRemoteUDPLength);
    writeU16(bytes, kRemoteUDPPortOffset, request.port);
    writeU32(bytes, kRemoteUDPHashOffset, request.chanHash);
    return bytes;
}

Bytes encodeTunnexForwardDatagram(uint32_t chanHash, std::span<const uint8_t> payload) {
    Bytes bytes = messageOfLength(Type::ForwardDatagramMsg, kDatagramPayloadOffset);
    writeU32(bytes, kDatagramHashOffset, chanHash);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes encodeTunnexKeyMessage(TunnexMainChannelMessageType type, std::span<const uint8_t> keyMaterial) {
    Bytes bytes = tunnexMainChannelHeader(type);
    bytes.insert(bytes.end(), keyMaterial.begin(), keyMaterial.end());
    return bytes;
}

std::optional<Bytes> encodeTunnexForwardResult(const ForwardSuccessResult& result) {
    if (result.forwardKind > uint8_t(TunnexForwardKind::RemoteDatagram)) return std::nullopt;
    Bytes bytes = messageOfLength(Type::ForwardSuccessResult, kResultLength);
    bytes[kResultKindOffset] = result.forwardKind;
    if (result.forwardKind != uint8_t(TunnexForwardKind::RemoteDatagram)) {
        if (!writeHost(bytes, kResultHostOffset, result.host)) return std::nullopt;
        writeU16(bytes, kResultPortOffset, result.port);
    }
    if (result.forwardKind != uint8_t(TunnexForwardKind::Stream)) writeU32(bytes, kResultHashOffset, result.chanHash);
    bytes[kResultSuccessOffset] = result.success ? 1 : 0;
    return bytes;
}

Bytes encodeTunnexSocketClose(uint32_t chanHash) {
    Bytes bytes = messageOfLength(Type::TunnexSocketCloseMsg, kCloseLength);
    writeU32(bytes, kCloseHashOffset, chanHash);
    return bytes;
}

}  // namespace kl

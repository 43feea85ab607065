#include "screen/protocol/ClientHandshake.h"

#include "screen/protocol/ScreenProtocol.h"
#include "screen/protocol/ScreenWireReader.h"

namespace kl {

namespace {

constexpr size_t kCapabilitiesOffset = 5;
constexpr size_t kDisplaySizeOffset = 105;
constexpr size_t kIconHashCountOffset = kCapabilitiesOffset + 74;

bool sendsCapabilities(const ScreenWireReader& in) { return in.u8(1) != 0 && in.u8(2) != 0; }
bool sendsDisplaySize(const ScreenWireReader& in) { return sendsCapabilities(in) && in.u8(3) >= 2; }

}  // namespace

ProtocolVersionInfo ProtocolVersionInfo::fromHandshake(const ClientHandshakeMsg& handshake) {
    ProtocolVersionInfo info;
    info.majorversion = handshake.majorversion;
    info.minorversion = handshake.minorversion;
    info.subversion = handshake.subversion;
    return info;
}

size_t clientHandshakeLength(std::span<const uint8_t> bytes) {
    const ScreenWireReader in(bytes);
    if (!in.fits(kClientHandshakeBaseSize)) return kClientHandshakeBaseSize;
    if (!sendsCapabilities(in)) return kClientHandshakeBaseSize;
    const size_t record = sendsDisplaySize(in) ? kClientHandshakeSize : kDisplaySizeOffset;
    if (!in.fits(kDisplaySizeOffset)) return record;
    return record + kIconHashSize * in.u16(kIconHashCountOffset);
}

std::optional<ClientCapabilities> readClientCapabilities(std::span<const uint8_t> bytes) {
    const ScreenWireReader in(bytes);
    if (!in.fits(kClientCapabilitiesSize)) return std::nullopt;
    ClientCapabilities caps;
    caps.encodingModes = in.u32(0);
    for (size_t i = 0; i < caps.displaySizes.size(); ++i) caps.displaySizes[i] = in.u16(4 + 2 * i);
    caps.keyboardSupport = in.u16(68);
    caps.androidFlags = in.u16(70);
    caps.retinaFlags = in.u16(72);
    caps.iconHashCount = in.u16(74);
    caps.deskgateClientId = in.u64(76);
    for (size_t i = 0; i < caps.otherFlags.size(); ++i) caps.otherFlags[i] = in.u16(84 + 2 * i);
    return caps;
}

std::optional<ClientHandshake> readClientHandshake(std::span<const uint8_t> bytes) {
    const size_t length = clientHandshakeLength(bytes);
    if (bytes.size() < length || bytes[0] != kClientHandshakeMsg) return std::nullopt;
    const ScreenWireReader in(bytes);
    ClientHandshake handshake;
    handshake.length = length;
    ClientHandshakeMsg& msg = handshake.message;
    msg.type = in.u8(0);
    msg.majorversion = in.u8(1);
    msg.minorversion = in.u8(2);
    msg.subversion = in.u8(3);
    msg.displayMode = in.u8(4);
    if (!sendsCapabilities(in)) return handshake;
    msg.capabilities = *readClientCapabilities(bytes.subspan(kCapabilitiesOffset, kClientCapabilitiesSize));
    size_t offset = kDisplaySizeOffset;
    if (sendsDisplaySize(in)) {
        msg.requestedDisplaySize = {in.u16(kDisplaySizeOffset), in.u16(kDisplaySizeOffset + 2)};
        offset = kClientHandshakeSize;
    }
    handshake.iconHashes.resize(msg.capabilities.iconHashCount);
    for (IconHash& hash : handshake.iconHashes) {
        in.copy(offset, hash.data(), hash.size());
        offset += hash.size();
    }
    return handshake;
}

}  // namespace kl

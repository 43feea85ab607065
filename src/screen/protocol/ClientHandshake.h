// The viewer's handshake on the main channel. Older viewers send less of it, so it is read in
// steps: 5 bytes (type and version), the 100 capability bytes when the major and minor versions
// are both nonzero, the 4 bytes of the requested display size when in addition the subversion is
// 2 or more, and then the 16-byte icon hashes the capabilities announce. Fields a viewer did not
// send stay zero.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kl {

// Kept by the server as the viewer's capabilities and handed to the encoder (100 bytes on the wire).
struct ClientCapabilities {
    uint32_t encodingModes = 0;
    std::array<uint16_t, 32> displaySizes{};
    uint16_t keyboardSupport = 0;
    uint16_t androidFlags = 0;
    uint16_t retinaFlags = 0;
    uint16_t iconHashCount = 0;
    uint64_t deskgateClientId = 0;
    std::array<uint16_t, 8> otherFlags{};

    bool operator==(const ClientCapabilities&) const = default;
};

struct DisplaySizeRequest {
    uint16_t nominalWidth = 0;
    uint16_t nominalHeight = 0;

    bool operator==(const DisplaySizeRequest&) const = default;
};

struct ClientHandshakeMsg {
    uint8_t type = 0;
    uint8_t majorversion = 0;
    uint8_t minorversion = 0;
    uint8_t subversion = 0;
    uint8_t displayMode = 0;
    ClientCapabilities capabilities;
    DisplaySizeRequest requestedDisplaySize;
};

// The viewer's protocol version; the req_ fields are kept for their place and never filled.
struct ProtocolVersionInfo {
    uint8_t majorversion = 0;
    uint8_t minorversion = 0;
    uint8_t subversion = 0;
    uint8_t req_majorversion = 0;
    uint8_t req_minorversion = 0;
    uint8_t req_subversion = 0;

    static ProtocolVersionInfo fromHandshake(const ClientHandshakeMsg& handshake);
    // Sends the requested display size, and only such a viewer is told of resolution changes.
    bool isVersionCapable() const { return majorversion != 0 && minorversion != 0 && subversion >= 2; }
};

// An MD5 digest of an application icon the viewer already holds.
using IconHash = std::array<uint8_t, 16>;

struct ClientHandshake {
    ClientHandshakeMsg message;
    std::vector<IconHash> iconHashes;
    size_t length = 0;  // bytes the whole handshake took on the wire
};

// The number of bytes the handshake at the start of bytes occupies, as far as the bytes at hand
// tell: 5 until the version is known, then 105 or 109 until the hash count is known, then the
// full length. A reader reads until it holds this many and asks again; the answer is final once
// bytes.size() reaches it.
size_t clientHandshakeLength(std::span<const uint8_t> bytes);

// The handshake at the start of bytes; nothing when they hold less than the whole of it or the
// type byte is not a handshake's.
std::optional<ClientHandshake> readClientHandshake(std::span<const uint8_t> bytes);

// The 100 capability bytes as a record (bytes shorter than that are refused).
std::optional<ClientCapabilities> readClientCapabilities(std::span<const uint8_t> bytes);

}  // namespace kl

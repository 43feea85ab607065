// Message types, encodings and ports of the remote-screen protocol between the screen service
// and its one viewer. Integers are little-endian and records packed.
#pragma once

#include <cstdint>

namespace kl {

// Main channel (TCP), accepted by the service.
inline constexpr uint16_t kMirrorMainDataTrafficPort = 7001;
// Input sideband (UDP), bound by the service while a viewer is connected.
inline constexpr uint16_t kMirrorServerSidebandPort = 7002;
// Output sideband (UDP) at the viewer's address.
inline constexpr uint16_t kMirrorClientSidebandPort = 7000;

// The first byte of every message; input datagrams share the numbering space of their own.
enum ScreenMessageType : uint8_t {
    // Main channel, viewer to service.
    kClientHandshakeMsg = 1,
    kClientHeartBeatMsg = 4,
    kUpdateRequestMsg = 0x20,
    // Main channel, service to viewer.
    kServerHelloMsg = 1,
    kServerBusyMsg = 2,
    kResolutionChangeMsg = 0x10,
    kScreenUpdateMsg = 0x20,
    kAppInfoMsg = 0x21,
    KLApplicationThumbMsg = 0x22,
    kWindowStateSnapshotMsg = 0x23,
    kNewApplicationInfoMsg = 0x24,
    kDisplayCountMsg = 0x25,
    kMenusMsg = 0x26,
    kAppInfoSectionMsg = 0x27,
    kScreenUpdateWithAppInfoMsg = 0x28,
    // Input sideband, viewer to service.
    kTapEventMsg = 2,
    kKeyboardEventMsg = 3,
    kWindowRequestMsg = 5,
    kMouseEventMsg = 6,
    kScrollEventMsg = 7,
    kMenuRequestMsg = 8,
};

// The encoding byte of a RectHeader.
enum ScreenEncoding : uint8_t {
    kEncodingZlib = 0,
    kEncodingCopyRect = 1,
    kEncodingCursorPosition = 2,
    kEncodingCursorImage = 3,
    kEncodingJPEG = 4,
    kEncodingPNG = 5,
    kEncodingActiveApplication = 8,
    kEncodingMenus = 9,
    kEncodingSqueezedJPEG = 14,
};

// ClientCapabilities.encodingModes: the viewer stretches half-size JPEG tiles itself.
inline constexpr uint32_t kEncodingModeSqueezedJPEG = 0x80;

// Fixed record sizes.
inline constexpr size_t kClientHandshakeBaseSize = 5;
inline constexpr size_t kClientCapabilitiesSize = 100;
inline constexpr size_t kClientHandshakeSize = 109;
inline constexpr size_t kIconHashSize = 16;
inline constexpr size_t kClientHeartBeatSize = 9;
inline constexpr size_t kServerHelloSize = 47;
inline constexpr size_t kServerBusySize = 9;
inline constexpr size_t kBusyTakeOverReplySize = 8;
inline constexpr size_t kResolutionChangeSize = 9;
inline constexpr size_t kRectHeaderSize = 13;
inline constexpr size_t kScreenUpdateHeaderSize = 3;
inline constexpr size_t kDisplayCountSize = 3;
inline constexpr size_t kAppInfoSectionSize = 2;
inline constexpr size_t kAppInfoHeaderSize = 33;
inline constexpr size_t kNewApplicationInfoHeaderSize = 9;
inline constexpr size_t kApplicationThumbHeaderSize = 35;
inline constexpr size_t kWindowStateSnapshotHeaderSize = 9;
inline constexpr size_t kWindowStateRecordSize = 30;
inline constexpr size_t kSerializedMenuItemSize = 42;
inline constexpr size_t kMenusHeaderSize = 9;
inline constexpr size_t kKeyboardEventMessageSize = 29;

}  // namespace kl

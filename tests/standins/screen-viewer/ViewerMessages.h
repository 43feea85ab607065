// What the viewer stand-in sends, and its reader of the output-sideband datagrams: written from
// the protocol's tables alone, like the update-stream reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace viewer {

struct ViewerHandshake {
    uint8_t major = 1, minor = 1, sub = 2;
    uint8_t displayMode = 0;
    uint32_t encodingModes = 0x80;  // accepts squeezed tiles
    uint16_t androidFlags = 0;
    uint64_t clientId = 0;
    uint16_t width = 0, height = 0;           // requested display size
    std::vector<std::vector<uint8_t>> iconHashes;  // 16 bytes each
};

// As long as the version says: 5 bytes, 105, or 109, then the hashes (only with capabilities).
std::vector<uint8_t> handshakeBytes(const ViewerHandshake& handshake);
std::vector<uint8_t> updateRequestBytes();
std::vector<uint8_t> heartBeatBytes();
std::vector<uint8_t> tapBytes(uint8_t tapType, uint16_t x, uint16_t y, std::optional<uint8_t> modifiers = std::nullopt);
std::vector<uint8_t> mouseBytes(uint8_t buttons, int16_t x, int16_t y);
std::vector<uint8_t> scrollBytes(float horizontal, float vertical);

// One output-sideband datagram.
struct SidebandDatagram {
    enum Kind { CursorPosition, ActiveApplication, Menu } kind = CursorPosition;
    int x = 0, y = 0;
    bool visible = false;
    int64_t processID = 0;    // active application
    uint64_t menuHandle = 0;  // menu
    uint64_t applicationID = 0;
    std::vector<std::string> menuTitles;
    std::vector<uint64_t> menuHandles;  // of the items, in the order of their titles
};
std::optional<SidebandDatagram> readSidebandDatagram(std::span<const uint8_t> datagram);

}  // namespace viewer

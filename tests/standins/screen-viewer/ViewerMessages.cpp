#include "ViewerMessages.h"

#include <bit>
#include <cstring>

namespace viewer {

namespace {

void put(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

uint64_t get(std::span<const uint8_t> in, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t(in[offset + i]) << (8 * i);
    return value;
}

}  // namespace

std::vector<uint8_t> handshakeBytes(const ViewerHandshake& h) {
    std::vector<uint8_t> out{1, h.major, h.minor, h.sub, h.displayMode};
    if (h.major == 0 || h.minor == 0) return out;
    put(out, h.encodingModes, 4);
    for (int i = 0; i < 32; ++i) put(out, 0, 2);  // display sizes
    put(out, 0, 2);                               // keyboard support
    put(out, h.androidFlags, 2);
    put(out, 0, 2);                               // retina flags
    put(out, h.iconHashes.size(), 2);
    put(out, h.clientId, 8);
    for (int i = 0; i < 8; ++i) put(out, 0, 2);   // other flags
    if (h.sub >= 2) {
        put(out, h.width, 2);
        put(out, h.height, 2);
    }
    for (const auto& hash : h.iconHashes) {
        for (size_t i = 0; i < 16; ++i) out.push_back(i < hash.size() ? hash[i] : 0);
    }
    return out;
}

std::vector<uint8_t> updateRequestBytes() { return {0x20}; }

std::vector<uint8_t> heartBeatBytes() { return std::vector<uint8_t>{4, 0, 0, 0, 0, 0, 0, 0, 0}; }

std::vector<uint8_t> tapBytes(uint8_t tapType, uint16_t x, uint16_t y, std::optional<uint8_t> modifiers) {
    std::vector<uint8_t> out{2, tapType};
    put(out, x, 2);
    put(out, y, 2);
    if (modifiers) out.insert(out.end(), {*modifiers, 0});
    return out;
}

std::vector<uint8_t> mouseBytes(uint8_t buttons, int16_t x, int16_t y) {
    std::vector<uint8_t> out{6, buttons};
    put(out, uint16_t(x), 2);
    put(out, uint16_t(y), 2);
    return out;
}

std::vector<uint8_t> scrollBytes(float horizontal, float vertical) {
    std::vector<uint8_t> out{7, 0, 0, 0, 0};
    put(out, std::bit_cast<uint32_t>(horizontal), 4);
    put(out, std::bit_cast<uint32_t>(vertical), 4);
    return out;
}

std::optional<SidebandDatagram> readSidebandDatagram(std::span<const uint8_t> d) {
    if (d.size() < 13 || get(d, 9, 4) != d.size() - 13) return std::nullopt;
    SidebandDatagram out;
    switch (d[8]) {
        case 2:
            out.kind = SidebandDatagram::CursorPosition;
            out.x = int16_t(get(d, 0, 2));
            out.y = int16_t(get(d, 2, 2));
            out.visible = get(d, 4, 2) != 0;
            return out;
        case 8:
            out.kind = SidebandDatagram::ActiveApplication;
            out.processID = int64_t(get(d, 0, 8));
            return out;
        case 9: {
            out.kind = SidebandDatagram::Menu;
            out.menuHandle = get(d, 0, 8);
            if (d.size() < 21) return std::nullopt;
            out.applicationID = get(d, 13, 8);
            size_t offset = 21;
            while (offset < d.size()) {
                if (d.size() - offset < 42) return std::nullopt;
                const size_t titleLength = get(d, offset + 16, 2);
                if (d.size() - offset - 42 < titleLength) return std::nullopt;
                out.menuTitles.emplace_back(reinterpret_cast<const char*>(d.data() + offset + 42), titleLength);
                out.menuHandles.push_back(get(d, offset + 8, 8));
                offset += 42 + titleLength;
            }
            return out;
        }
        default: return std::nullopt;
    }
}

}  // namespace viewer

// Bounds-checked little-endian reading of the remote-screen records. Records are packed, so
// every field is read byte by byte rather than through a struct laid over the buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kl {

// Reads fixed offsets of a span. Callers check the span's length against the record's layout
// once (fits) before reading its fields; a read past the end still answers zero, never UB.
class ScreenWireReader {
public:
    explicit ScreenWireReader(std::span<const uint8_t> bytes) : mBytes(bytes) {}

    bool fits(size_t length) const { return mBytes.size() >= length; }
    size_t size() const { return mBytes.size(); }

    uint8_t u8(size_t offset) const { return fits(offset + 1) ? mBytes[offset] : 0; }
    uint16_t u16(size_t offset) const { return uint16_t(little(offset, 2)); }
    uint32_t u32(size_t offset) const { return uint32_t(little(offset, 4)); }
    uint64_t u64(size_t offset) const { return little(offset, 8); }
    int16_t i16(size_t offset) const { return int16_t(u16(offset)); }
    float f32(size_t offset) const { return std::bit_cast<float>(u32(offset)); }
    // Copies length bytes at offset into out (zero-filled where the span ends).
    void copy(size_t offset, uint8_t* out, size_t length) const {
        for (size_t i = 0; i < length; ++i) out[i] = u8(offset + i);
    }

private:
    uint64_t little(size_t offset, size_t width) const {
        if (!fits(offset + width)) return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= uint64_t(mBytes[offset + i]) << (8 * i);
        return value;
    }

    std::span<const uint8_t> mBytes;
};

}  // namespace kl

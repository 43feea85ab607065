// Little-endian byte access for the remote-screen records: a bounds-checked reader over a byte
// span and an appending writer. Records are packed, so every field is read and written byte by
// byte rather than through a struct laid over the buffer.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/Value.h"

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

// Appends little-endian fields to a buffer.
class ScreenWireWriter {
public:
    explicit ScreenWireWriter(Bytes& out) : mOut(out) {}

    ScreenWireWriter& u8(uint8_t value) {
        mOut.push_back(value);
        return *this;
    }
    ScreenWireWriter& u16(uint16_t value) { return little(value, 2); }
    ScreenWireWriter& u32(uint32_t value) { return little(value, 4); }
    ScreenWireWriter& u64(uint64_t value) { return little(value, 8); }
    ScreenWireWriter& i16(int16_t value) { return u16(uint16_t(value)); }
    ScreenWireWriter& f32(float value) { return u32(std::bit_cast<uint32_t>(value)); }
    ScreenWireWriter& bytes(std::span<const uint8_t> data) {
        mOut.insert(mOut.end(), data.begin(), data.end());
        return *this;
    }
    ScreenWireWriter& bytes(std::string_view data) {
        mOut.insert(mOut.end(), data.begin(), data.end());
        return *this;
    }
    ScreenWireWriter& zeros(size_t count) {
        mOut.insert(mOut.end(), count, 0);
        return *this;
    }

private:
    ScreenWireWriter& little(uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) mOut.push_back(uint8_t(value >> (8 * i)));
        return *this;
    }

    Bytes& mOut;
};

// A screen coordinate as the viewer gets it: truncated toward zero and kept in 16 bits (two's
// complement, so a negative coordinate survives as its signed value). Values beyond any screen
// (and NaN) saturate before the cut instead of overflowing the integer conversion.
inline uint16_t screenWireCoordinate(double value) {
    if (std::isnan(value)) return 0;
    const double clamped = std::fmax(-2147483648.0, std::fmin(2147483647.0, std::trunc(value)));
    return uint16_t(int64_t(clamped));
}

}  // namespace kl

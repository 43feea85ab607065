// Little-endian writing of the remote-screen records into a buffer, and the rule that turns a
// screen coordinate into its 16 wire bits.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/Value.h"

namespace kl {

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

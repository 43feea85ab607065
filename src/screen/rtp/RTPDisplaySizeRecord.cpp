#include "screen/rtp/RTPDisplaySizeRecord.h"

#include <bit>

namespace kl {

std::array<uint8_t, 56> writeRTPDisplaySizeRecord(const RTPDisplaySize& size) {
    const double values[7] = {size.bounds.origin.x, size.bounds.origin.y, size.bounds.size.width,
                              size.bounds.size.height, size.pixels.width, size.pixels.height, size.scale};
    std::array<uint8_t, 56> record{};
    for (size_t i = 0; i < 7; ++i) {
        const uint64_t bits = std::bit_cast<uint64_t>(values[i]);
        for (size_t b = 0; b < 8; ++b) record[i * 8 + b] = uint8_t(bits >> (8 * b));
    }
    return record;
}

RTPDisplaySize readRTPDisplaySizeRecord(std::span<const uint8_t, 56> record) {
    double values[7];
    for (size_t i = 0; i < 7; ++i) {
        uint64_t bits = 0;
        for (size_t b = 0; b < 8; ++b) bits |= uint64_t(record[i * 8 + b]) << (8 * b);
        values[i] = std::bit_cast<double>(bits);
    }
    return {Rect(values[0], values[1], values[2], values[3]), Size{values[4], values[5]}, values[6]};
}

}  // namespace kl

#include "tunnel/channel/TunnexAesCfb.h"

#include <algorithm>
#include <cstring>

namespace kl {

TunnexAesCfb::TunnexAesCfb(Direction direction, const uint8_t* key, size_t keyLength, const uint8_t* iv)
    : direction_(direction) {
    aes_.SetKey(key, keyLength);
    std::memcpy(register_, iv, kBlock);
}

void TunnexAesCfb::ProcessData(CryptoPP::byte* out, const CryptoPP::byte* in, size_t length) {
    if (offset_ > 0) {
        const size_t take = std::min(length, kBlock - offset_);
        processPartial(out, in, take);
        out += take;
        in += take;
        length -= take;
    }
    const size_t blocks = length / kBlock;
    if (blocks > 0) {
        processWholeBlocks(out, in, blocks);
        out += blocks * kBlock;
        in += blocks * kBlock;
        length -= blocks * kBlock;
    }
    if (length > 0) processPartial(out, in, length);
}

// Each ciphertext block is the next one's feedback: C[i] = E(C[i-1]) ^ P[i], with C[-1] the register.
void TunnexAesCfb::processWholeBlocks(uint8_t* out, const uint8_t* in, size_t blocks) {
    using CryptoPP::BlockTransformation;
    const size_t last = (blocks - 1) * kBlock;
    if (direction_ == Direction::Encrypt) {
        aes_.ProcessAndXorBlock(register_, in, out);
        // Serial: each block is encrypted from the output block before it.
        if (blocks > 1) aes_.AdvancedProcessBlocks(out, in + kBlock, out + kBlock, last, 0);
        std::memcpy(register_, out + last, kBlock);
        return;
    }
    // P[i] = E(C[i-1]) ^ C[i]: all blocks at once, from the end backwards so that in-place output
    // overwrites only ciphertext already used.
    uint8_t nextRegister[kBlock];
    std::memcpy(nextRegister, in + last, kBlock);
    if (blocks > 1) {
        aes_.AdvancedProcessBlocks(in, in + kBlock, out + kBlock, last,
                                   BlockTransformation::BT_ReverseDirection | BlockTransformation::BT_AllowParallel);
    }
    aes_.ProcessAndXorBlock(register_, in, out);
    std::memcpy(register_, nextRegister, kBlock);
}

void TunnexAesCfb::processPartial(uint8_t* out, const uint8_t* in, size_t length) {
    if (offset_ == 0) aes_.ProcessBlock(register_, keyStream_);
    const bool encrypting = direction_ == Direction::Encrypt;
    for (size_t i = 0; i < length; ++i, ++offset_) {
        const uint8_t input = in[i];  // read first: out may be in
        const uint8_t result = uint8_t(input ^ keyStream_[offset_]);
        out[i] = result;
        register_[offset_] = encrypting ? result : input;
    }
    if (offset_ == kBlock) offset_ = 0;
}

}  // namespace kl

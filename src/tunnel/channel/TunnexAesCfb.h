// src/tunnel/channel: UDT sockets and what runs on them: the socket manager's poll thread, the
// ciphers and key agreement, the send packer and the congestion controls.
//
// AES in cipher-feedback mode with full 16-byte feedback: the data channels' stream, the same
// bytes as Crypto++'s CFB_Mode<AES> in any split into calls.
//
// Crypto++'s own mode takes its block-wise path only when the output lies on a 16-byte boundary
// at a block start of the stream; a channel's buffers start wherever the stream stood after the
// last receive or send, so it nearly always fell back to one block per virtual call (decryption at
// a tenth of its speed). This one hands every run of whole blocks to the block cipher at once,
// wherever it lies: decryption runs the blocks in parallel, encryption is serial by nature.
#pragma once

#include <cryptopp/aes.h>
#include <cryptopp/cryptlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kl {

class TunnexAesCfb final : public CryptoPP::StreamTransformation {
public:
    enum class Direction { Encrypt, Decrypt };
    static constexpr size_t kBlock = CryptoPP::AES::BLOCKSIZE;

    // iv: kBlock bytes.
    TunnexAesCfb(Direction direction, const uint8_t* key, size_t keyLength, const uint8_t* iv);

    // In place (out == in) or between buffers that do not overlap otherwise.
    void ProcessData(CryptoPP::byte* out, const CryptoPP::byte* in, size_t length) override;
    bool IsRandomAccess() const override { return false; }
    bool IsSelfInverting() const override { return false; }
    bool IsForwardTransformation() const override { return direction_ == Direction::Encrypt; }
    std::string AlgorithmName() const override { return "AES/CFB"; }

private:
    void processWholeBlocks(uint8_t* out, const uint8_t* in, size_t blocks);
    // Bytes of the block under way (at most what is left of it).
    void processPartial(uint8_t* out, const uint8_t* in, size_t length);

    const Direction direction_;
    CryptoPP::AES::Encryption aes_;  // CFB uses the forward cipher both ways
    // The last whole ciphertext block (the IV at first); while a block is under way its first
    // offset_ bytes are already that block's ciphertext.
    uint8_t register_[kBlock];
    uint8_t keyStream_[kBlock];  // of the block under way
    size_t offset_ = 0;          // bytes of the block under way done; 0: none under way
};

}  // namespace kl

// The pass-through socket delegate that every tunnel socket has until its owner sets another.
#pragma once

#include "tunnel/channel/TunnexSocketDelegate.h"

namespace kl {

class TunnexDummyEncryptor final : public TunnexSocketDelegate {
public:
    std::optional<Bytes> encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) override;
    std::optional<Bytes> decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) override;
    bool encryptInPlace(std::span<uint8_t>, TunnexStreamCipher&) override { return true; }
    bool decryptInPlace(std::span<uint8_t>, TunnexStreamCipher&) override { return true; }
    void closedSocket(const std::shared_ptr<TunnexSocket>& socket) override;
    std::optional<uint64_t> encryptedBlockSize() const override { return 1; }
};

}  // namespace kl

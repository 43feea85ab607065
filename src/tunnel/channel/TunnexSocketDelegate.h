// How a tunnel socket's owner encrypts and decrypts the socket's bytes and learns of its close.
#pragma once

#include <cryptopp/cryptlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/Value.h"

namespace kl {

class TunnexSocket;

// A data channel's cipher: empty when the socket is made; the delegate creates it on first use
// and the socket keeps it for its life.
using TunnexStreamCipher = std::unique_ptr<CryptoPP::StreamTransformation>;

// Held weakly by the socket. Each socket calls its encrypt side from its send queue and its
// decrypt side from its bridge queue, so one cipher is only ever used by one queue at a time.
class TunnexSocketDelegate {
public:
    virtual ~TunnexSocketDelegate() = default;

    // The bytes to put on the wire for data; nothing means failure (the socket closes).
    virtual std::optional<Bytes> encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) = 0;
    // The plain bytes for received data; nothing means failure.
    virtual std::optional<Bytes> decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) = 0;
    virtual void closedSocket(const std::shared_ptr<TunnexSocket>& socket) = 0;
    // The same as the two above on bytes where they lie (the ciphers keep the length), sparing
    // the copies; false on failure. By default through the copying forms.
    virtual bool encryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& encryptor) {
        return replaceWith(bytes, encryptSomeBytes(Bytes(bytes.begin(), bytes.end()), encryptor));
    }
    virtual bool decryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& decryptor) {
        return replaceWith(bytes, decryptSomeBytes(Bytes(bytes.begin(), bytes.end()), decryptor));
    }
    // When answered, receive buffers are rounded up to a multiple of it. Not answered by default.
    virtual std::optional<uint64_t> encryptedBlockSize() const { return std::nullopt; }

private:
    static bool replaceWith(std::span<uint8_t> bytes, const std::optional<Bytes>& result) {
        if (!result || result->size() != bytes.size()) return false;
        std::copy(result->begin(), result->end(), bytes.begin());
        return true;
    }
};

}  // namespace kl

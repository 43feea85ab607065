// Key agreement and the tunnel's two counter-mode streams, one object per tunnel peer.
//
// Both peers make a Diffie-Hellman key pair and exchange public values; the agreed value is the
// key-encryption key (bytes 0-15 wrap, bytes 16-31 authenticate). Each side then draws its own
// content key and IV and sends them wrapped (48 bytes: AES-ECB(CEK) | CMAC | IV). What one side
// draws is its outbound key and the other side's inbound key. The format and key schedule are
// shared with every other peer and must not change.
//
// Owned by shared_ptr: the peer's queues keep their own reference while they use it. All
// operations are serialised by an internal lock, so the key-exchange thread and the datagram
// threads may use one object at once. No operation throws: a missing key gives an empty result
// or false.
#pragma once

#include <cryptopp/aes.h>
#include <cryptopp/dh.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Value.h"
#include "tunnel/TunnexResult.h"

namespace kl {

class TunnexEncryption {
public:
    static constexpr size_t kPrivateValueLength = 20;
    static constexpr size_t kPublicValueLength = 128;
    static constexpr size_t kKeyLength = 16;
    static constexpr size_t kWrappedKeyLength = 48;

    // Draws the local IV. Tests may pass their own generator; by default an OS-seeded pool.
    explicit TunnexEncryption(std::unique_ptr<CryptoPP::RandomNumberGenerator> random = nullptr);
    TunnexEncryption(const TunnexEncryption&) = delete;
    TunnexEncryption& operator=(const TunnexEncryption&) = delete;

    // Makes the key pair once; later calls do nothing.
    void initialize();
    // Takes the given pair instead (20 and 128 bytes); false when the sizes are wrong or a pair
    // already exists.
    bool initialize(const CryptoPP::SecByteBlock& privateValue, const CryptoPP::SecByteBlock& publicValue);

    // Copies of the values; each empty while it does not exist.
    CryptoPP::SecByteBlock getDHPublicKey() const;
    CryptoPP::SecByteBlock getOtherPublicKey() const;
    CryptoPP::SecByteBlock getKEK() const;
    CryptoPP::SecByteBlock getLocalCEK() const;
    CryptoPP::SecByteBlock getRemoteCEK() const;
    CryptoPP::SecByteBlock getLocalIV() const;
    CryptoPP::SecByteBlock getRemoteIV() const;

    // The agreement with the remote public value. Only the first value counts: later calls change
    // nothing and return the first result. A value that is not 128 bytes or not an element of
    // the group's prime-order subgroup fails. Success draws the local CEK and keys the outbound
    // stream.
    bool updateWithOtherPublicKey(const uint8_t* value, size_t length);
    bool updateWithOtherPublicKey(const CryptoPP::SecByteBlock& value) {
        return updateWithOtherPublicKey(value.data(), value.size());
    }

    // This side's 48-byte wrapped key message; empty before a successful agreement.
    CryptoPP::SecByteBlock getEncryptedCEK() const;
    // Unwraps the remote side's message (its first 48 bytes). Refused (false, nothing stored)
    // before a successful agreement, for a message shorter than 48 bytes, or when the tag does not
    // verify. On success stores the remote CEK and IV and keys the inbound stream.
    bool updateWithOtherContentEncryptionKey(const uint8_t* message, size_t length);
    bool updateWithOtherContentEncryptionKey(const CryptoPP::SecByteBlock& message) {
        return updateWithOtherContentEncryptionKey(message.data(), message.size());
    }

    // The bytes run through the outbound (encrypt) or inbound (decrypt) stream, which continues
    // where the previous call stopped. Empty when the stream is not keyed yet.
    CryptoPP::SecByteBlock encryptByteBlock(const CryptoPP::SecByteBlock& block);
    CryptoPP::SecByteBlock decryptByteBlock(const CryptoPP::SecByteBlock& block);
    Bytes encryptBytes(const Bytes& bytes);
    Bytes decryptBytes(const Bytes& bytes);

    // The remote CEK has been unwrapped and the inbound stream is keyed.
    bool encryptionReady() const;
    bool hasDHKeyPair() const;
    bool hasRemotePublicKey() const;
    bool hasKeyEncryptionKey() const;
    bool hasLocalCEK() const;
    bool hasRemoteCEK() const;
    bool hasRemoteIV() const;

private:
    TunnexResult<void> runStream(CryptoPP::StreamTransformation& stream, bool keyed, const uint8_t* in, size_t length,
                                 uint8_t* out, const char* direction);

    mutable std::mutex mutex_;
    bool encryptionReady_ = false;
    bool hasDHKeyPair_ = false;
    bool hasRemotePublicKey_ = false;
    bool hasKeyEncryptionKey_ = false;
    bool hasLocalCEK_ = false;
    bool hasRemoteCEK_ = false;
    bool hasRemoteIV_ = false;

    std::unique_ptr<CryptoPP::RandomNumberGenerator> random_;
    CryptoPP::DH domain_;
    CryptoPP::SecByteBlock privateValue_;
    CryptoPP::SecByteBlock publicValue_;
    CryptoPP::SecByteBlock remotePublicValue_;
    CryptoPP::SecByteBlock kek_;
    CryptoPP::SecByteBlock localCEK_;
    CryptoPP::SecByteBlock remoteCEK_;
    CryptoPP::SecByteBlock localIV_;
    CryptoPP::SecByteBlock remoteIV_;
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption outbound_;
    CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption inbound_;
};

}  // namespace kl

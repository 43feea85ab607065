#include "tunnel/channel/TunnexChannelCipher.h"

#include <utility>

#include "foundation/KLTLogging.h"
#include "tunnel/channel/TunnexAesCfb.h"
#include "tunnel/channel/TunnexEncryption.h"

namespace kl {

namespace {

using KeyAndIV = std::pair<CryptoPP::SecByteBlock, CryptoPP::SecByteBlock>;

// Runs bytes through cipher in place (CFB keeps the length), first making it from keys() when
// the reference is empty. The keys are only read then: a running channel does not depend on the
// tunnel's object any more.
template <class KeySource>
TunnexResult<void> runChannelCipher(TunnexStreamCipher& cipher, std::span<uint8_t> bytes, KeySource keys,
                                    TunnexAesCfb::Direction direction) {
    if (!cipher) {
        KeyAndIV keyAndIV = keys();
        const auto& [key, iv] = keyAndIV;
        if (key.size() != TunnexEncryption::kKeyLength || iv.size() != TunnexEncryption::kKeyLength) {
            KLLog(kKLTLoggingLevelError, "Channel %s: the tunnel has no key yet",
                  direction == TunnexAesCfb::Direction::Encrypt ? "encryption" : "decryption");
            return TunnexError(TunnexErrorCode::NotKeyed, "the tunnel has no key yet");
        }
        cipher = std::make_unique<TunnexAesCfb>(direction, key.data(), key.size(), iv.data());
    }
    if (!bytes.empty()) cipher->ProcessData(bytes.data(), bytes.data(), bytes.size());
    return {};
}

KeyAndIV localKeys(const TunnexEncryption& encryption) { return {encryption.getLocalCEK(), encryption.getLocalIV()}; }
KeyAndIV remoteKeys(const TunnexEncryption& encryption) { return {encryption.getRemoteCEK(), encryption.getRemoteIV()}; }

}  // namespace

TunnexResult<void> encryptChannelBytesInPlace(const TunnexEncryption& encryption, std::span<uint8_t> bytes,
                                              TunnexStreamCipher& encryptor) {
    return runChannelCipher(encryptor, bytes, [&] { return localKeys(encryption); }, TunnexAesCfb::Direction::Encrypt);
}

TunnexResult<void> decryptChannelBytesInPlace(const TunnexEncryption& encryption, std::span<uint8_t> bytes,
                                              TunnexStreamCipher& decryptor) {
    return runChannelCipher(decryptor, bytes, [&] { return remoteKeys(encryption); }, TunnexAesCfb::Direction::Decrypt);
}

std::optional<Bytes> encryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& encryptor) {
    Bytes out = data;
    if (!encryptChannelBytesInPlace(encryption, out, encryptor)) return std::nullopt;
    return out;
}

std::optional<Bytes> decryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& decryptor) {
    Bytes out = data;
    if (!decryptChannelBytesInPlace(encryption, out, decryptor)) return std::nullopt;
    return out;
}

}  // namespace kl

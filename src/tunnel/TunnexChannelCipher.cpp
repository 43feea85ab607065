#include "tunnel/TunnexChannelCipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include <utility>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexEncryption.h"

namespace kl {

namespace {

using KeyAndIV = std::pair<CryptoPP::SecByteBlock, CryptoPP::SecByteBlock>;

// Runs data through cipher, first making it from keys() when the reference is empty. The keys
// are only read then: a running channel does not depend on the tunnel's object any more.
template <class Cipher, class KeySource>
std::optional<Bytes> runChannelCipher(TunnexStreamCipher& cipher, const Bytes& data, KeySource keys,
                                      const char* direction) {
    if (!cipher) {
        KeyAndIV keyAndIV = keys();
        const auto& [key, iv] = keyAndIV;
        if (key.size() != TunnexEncryption::kKeyLength || iv.size() != TunnexEncryption::kKeyLength) {
            KLLog(kKLTLoggingLevelError, "Channel %s: the tunnel has no key yet", direction);
            return std::nullopt;
        }
        cipher = std::make_unique<Cipher>(key, key.size(), iv);
    }
    Bytes out(data.size());
    if (!data.empty()) cipher->ProcessData(out.data(), data.data(), data.size());
    return out;
}

}  // namespace

std::optional<Bytes> encryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& encryptor) {
    return runChannelCipher<CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption>(
        encryptor, data, [&] { return KeyAndIV(encryption.getLocalCEK(), encryption.getLocalIV()); }, "encryption");
}

std::optional<Bytes> decryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& decryptor) {
    return runChannelCipher<CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption>(
        decryptor, data, [&] { return KeyAndIV(encryption.getRemoteCEK(), encryption.getRemoteIV()); }, "decryption");
}

}  // namespace kl

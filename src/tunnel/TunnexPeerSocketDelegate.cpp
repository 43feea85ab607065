// TunnexPeer as the delegate of its tunnel sockets: each data channel runs its own AES-128-CFB
// streams, outbound from this side's content key and IV, inbound from the remote's.
#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexEncryption.h"
#include "tunnel/TunnexPeer.h"

namespace kl {
namespace {

// Runs data through the cipher, making it first from key and iv; nothing while they are missing.
template <typename Mode>
std::optional<Bytes> runCFB(const Bytes& data, TunnexStreamCipher& cipher, const CryptoPP::SecByteBlock& key,
                            const CryptoPP::SecByteBlock& iv, const char* direction) {
    if (!cipher) {
        if (key.size() != CryptoPP::AES::DEFAULT_KEYLENGTH || iv.size() != CryptoPP::AES::BLOCKSIZE) {
            KLLog(kKLTLoggingLevelError, "Cannot %s channel data: the tunnel's keys are not agreed", direction);
            return std::nullopt;
        }
        cipher = std::make_unique<Mode>(key, key.size(), iv);
    }
    Bytes out(data.size());
    if (!data.empty()) cipher->ProcessData(out.data(), data.data(), data.size());
    return out;
}

}  // namespace

std::optional<Bytes> TunnexPeer::encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) {
    auto model = getEncryptor();
    return runCFB<CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption>(data, encryptor, model->getLocalCEK(),
                                                                  model->getLocalIV(), "encrypt");
}

std::optional<Bytes> TunnexPeer::decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) {
    auto model = getEncryptor();
    return runCFB<CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption>(data, decryptor, model->getRemoteCEK(),
                                                                  model->getRemoteIV(), "decrypt");
}

}  // namespace kl

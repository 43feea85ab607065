// TunnexPeer as the delegate of its tunnel sockets: each data channel runs its own AES-128-CFB
// streams, outbound from this side's content key and IV, inbound from the remote's.
#include "tunnel/channel/TunnexChannelCipher.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {

std::optional<Bytes> TunnexPeer::encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) {
    return encryptChannelBytes(*getEncryptor(), data, encryptor);
}

std::optional<Bytes> TunnexPeer::decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) {
    return decryptChannelBytes(*getEncryptor(), data, decryptor);
}

bool TunnexPeer::encryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& encryptor) {
    return encryptChannelBytesInPlace(*getEncryptor(), bytes, encryptor).ok();
}

bool TunnexPeer::decryptInPlace(std::span<uint8_t> bytes, TunnexStreamCipher& decryptor) {
    return decryptChannelBytesInPlace(*getEncryptor(), bytes, decryptor).ok();
}

}  // namespace kl

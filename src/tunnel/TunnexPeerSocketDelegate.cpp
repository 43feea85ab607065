// TunnexPeer as the delegate of its tunnel sockets: each data channel runs its own AES-128-CFB
// streams, outbound from this side's content key and IV, inbound from the remote's.
#include "tunnel/TunnexChannelCipher.h"
#include "tunnel/TunnexEncryption.h"
#include "tunnel/TunnexPeer.h"

namespace kl {

std::optional<Bytes> TunnexPeer::encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) {
    return encryptChannelBytes(*getEncryptor(), data, encryptor);
}

std::optional<Bytes> TunnexPeer::decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) {
    return decryptChannelBytes(*getEncryptor(), data, decryptor);
}

}  // namespace kl

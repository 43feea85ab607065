// TunnexPeer as the owner of its tunnel's UDT sockets: the data channels' ciphers, the close of
// the main channel, and the socket manager's calls for a readable or broken main channel.
//
// The main-channel protocol (key exchange, forwards, goodbye, life check) reads the channel's
// messages; until it handles them, each message is read and logged so that the channel stays
// readable and connected.
#include "foundation/KLTLogging.h"
#include "tunnel/TunnexChannelCipher.h"
#include "tunnel/TunnexPeer.h"
#include "tunnel/TunnexSocket.h"

namespace kl {

std::optional<Bytes> TunnexPeer::encryptSomeBytes(const Bytes& data, TunnexStreamCipher& encryptor) {
    return encryptChannelBytes(*getEncryptor(), data, encryptor);
}

std::optional<Bytes> TunnexPeer::decryptSomeBytes(const Bytes& data, TunnexStreamCipher& decryptor) {
    return decryptChannelBytes(*getEncryptor(), data, decryptor);
}

void TunnexPeer::closedSocket(const std::shared_ptr<TunnexSocket>& socket) {
    // A main channel closed by this peer's own teardown has been reported already.
    if (!socket || socket != mainChannel() || tornDown_.load()) return;
    disconnectedFromRemotePeer(stunPeer());
}

bool TunnexPeer::performMainChannelListen() {
    auto channel = mainChannel();
    if (!channel) return false;
    Error error;
    auto message = channel->recvNonBlocking(&error);
    if (!message) {
        KLLog(kKLTLoggingLevelError, "Main channel read failed: %s", error.description().c_str());
        return false;
    }
    const unsigned type = message->size() >= 6 ? (*message)[5] : 0xFFu;
    KLLog(kKLTLoggingLevelInfo, "Main channel message of type %u (%zu bytes) received", type, message->size());
    return true;
}

void TunnexPeer::disconnectFromPeers() { disconnectedFromRemote(); }

void TunnexPeer::teardownConnection() {
    if (tornDown_.exchange(true)) return;
    if (auto channel = mainChannel()) channel->close();
}

}  // namespace kl

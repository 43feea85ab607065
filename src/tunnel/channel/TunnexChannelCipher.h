// The data channels' ciphers: AES-128 in cipher-feedback mode with full 16-byte feedback. Every
// channel of a tunnel starts its outbound stream from the tunnel's local CEK and IV and its
// inbound stream from the remote CEK and IV; each stream then runs on for the socket's life.
#pragma once

#include <optional>
#include <span>

#include "platform/Value.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/channel/TunnexSocketDelegate.h"

namespace kl {

class TunnexEncryption;

// data run through the channel's encryptor, which is made from the local CEK and IV when the
// reference is empty. Nothing when the tunnel has no local CEK (the channel then closes).
std::optional<Bytes> encryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& encryptor);
// The same with the decryptor, made from the remote CEK and IV.
std::optional<Bytes> decryptChannelBytes(const TunnexEncryption& encryption, const Bytes& data,
                                         TunnexStreamCipher& decryptor);

// The same two on bytes where they lie; NotKeyed (logged) when the tunnel has no key.
TunnexResult<void> encryptChannelBytesInPlace(const TunnexEncryption& encryption, std::span<uint8_t> bytes,
                                              TunnexStreamCipher& encryptor);
TunnexResult<void> decryptChannelBytesInPlace(const TunnexEncryption& encryption, std::span<uint8_t> bytes,
                                              TunnexStreamCipher& decryptor);

}  // namespace kl

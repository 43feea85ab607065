#include "tunnel/channel/TunnexDummyEncryptor.h"

namespace kl {

// The cipher references are left alone: a socket that later gets a real delegate starts clean.
std::optional<Bytes> TunnexDummyEncryptor::encryptSomeBytes(const Bytes& data, TunnexStreamCipher&) { return data; }

std::optional<Bytes> TunnexDummyEncryptor::decryptSomeBytes(const Bytes& data, TunnexStreamCipher&) { return data; }

void TunnexDummyEncryptor::closedSocket(const std::shared_ptr<TunnexSocket>&) {}

}  // namespace kl

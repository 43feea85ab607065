// Internal to the hole punch: small helpers its files share.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tunnel/TunnexResult.h"

namespace kl {

class KLNetSocket;
class TunnexContext;
class TunnexRemotePeer;

// Sends one datagram from socket to an IPv4 address (waiting out a short lack of buffers); the
// system's error (logged by the socket) when it cannot.
TunnexResult<void> tunnexSendDatagram(KLNetSocket& socket, std::span<const uint8_t> bytes, const sockaddr_in& to);
// One datagram from a socket that has one waiting (never blocks) and its IPv4 source; the byte
// count, or -1. A buffer of kTunnexDatagramBufferSize holds any UDP datagram whole.
inline constexpr size_t kTunnexDatagramBufferSize = 65536;
ssize_t tunnexReceiveDatagram(KLNetSocket& socket, std::span<uint8_t> buffer, sockaddr_in& source);
// A short word as its two little-endian bytes.
std::vector<uint8_t> tunnexWordBytes(uint16_t word);
// The acknowledgement record with this machine's UUID, logged as the handshake logs it.
std::vector<uint8_t> tunnexAcknowledgementBytes(const std::shared_ptr<TunnexContext>& context, int64_t transactionId,
                                                uint16_t type);
// Whether this node started the transaction (false when its context has no tunnel manager).
bool tunnexIsOriginatorFor(const std::shared_ptr<TunnexContext>& context, int64_t transactionId);
// The record's IPv4 socket address; all zero without a record or for another family.
sockaddr_in tunnexRemoteAddressOf(const std::shared_ptr<TunnexRemotePeer>& remote);
// "a.b.c.d:port", or "(none)".
std::string tunnexSenderText(const sockaddr_in& address);

}  // namespace kl

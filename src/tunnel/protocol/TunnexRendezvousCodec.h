// The rendezvous-server protocol without I/O: the plaintexts of the two requests (ping and connect),
// the sealing of requests, the opening of replies with the nonce rules, and the readers of the
// three reply plaintexts.
//
// Wire rules: integers little-endian, IPv4 addresses in network order (kept here as the four bytes
// as they stand), ports as plain little-endian integers. Every datagram is sealed with AES-CCM under
// the account's pre-shared key: 8-byte tag, the datagram's 8 nonce bytes as the CCM nonce, no
// associated data.
//
//   request: u64 assigned id | u64 nonce | ciphertext | tag(8)
//   reply:   u16 0xA402      | u64 nonce | ciphertext | tag(8)
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"
#include "tunnel/TunnexResult.h"

namespace kl {

inline constexpr uint16_t kTunnexServerPort = 9300;
inline constexpr uint16_t kTunnexServerReplyMagic = 0xA402;
inline constexpr size_t kTunnexRequestHeaderLength = 16;
inline constexpr size_t kTunnexReplyHeaderLength = 10;
inline constexpr size_t kTunnexTagLength = 8;
inline constexpr size_t kTunnexReplyMinimumLength = kTunnexReplyHeaderLength + kTunnexTagLength;
// The opened reply the handlers see: fields beyond the plaintext read as zero up to this length,
// and no field is read beyond it.
inline constexpr size_t kTunnexReplyBufferLength = 2048;

inline constexpr size_t kTunnexPingPlaintextBaseLength = 15;
inline constexpr size_t kTunnexAddressEntryLength = 6;
inline constexpr size_t kTunnexConnectPlaintextLength = 88;
inline constexpr size_t kTunnexUUIDFieldLength = 48;

enum TunnexServerRequestType : uint16_t { ServerPingRequest = 0, ServerConnectRequest = 2 };
enum TunnexServerPacketType : uint16_t { ServerPongMsg = 0, ServerInvitationMsg = 1, ServerErrorMsg = 2 };

// One address entry of a ping or an invitation: an IPv4 address as its four network-order bytes
// packed into a u32 the way sockaddr_in stores it, and a port in host order.
struct TunnexAddressEntry {
    uint32_t address = 0;  // network byte order (sin_addr.s_addr)
    uint16_t port = 0;     // host byte order
    bool operator==(const TunnexAddressEntry&) const = default;
};

// Field-by-field little-endian writing and bounded reading.
class TunnexWireWriter {
public:
    explicit TunnexWireWriter(Bytes& out) : out_(out) {}
    void u8(uint8_t value) { out_.push_back(value); }
    void u16(uint16_t value);
    void u64(uint64_t value);
    // The four bytes of a network-order address as they stand in memory.
    void address(uint32_t networkOrder);
    void zeros(size_t count) { out_.insert(out_.end(), count, 0); }

private:
    Bytes& out_;
};

// Reads fields of a buffer that is taken as zero-filled up to `limit` bytes: a field beyond the
// real bytes reads as zero, a field beyond `limit` too. Never reads past the real bytes.
class TunnexWireReader {
public:
    explicit TunnexWireReader(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX)
        : bytes_(bytes), limit_(limit) {}
    uint8_t u8(size_t offset) const;
    uint16_t u16(size_t offset) const;
    uint64_t u64(size_t offset) const;
    uint32_t address(size_t offset) const;
    // The zero-terminated text of a field of `width` bytes; nothing when the real bytes hold no
    // terminating zero inside the field.
    std::optional<std::string> text(size_t offset, size_t width) const;
    // Whether `count` bytes at offset lie inside the real bytes and the limit.
    bool contains(size_t offset, size_t count) const;
    size_t size() const { return bytes_.size(); }

private:
    uint8_t byte(size_t offset) const;
    std::span<const uint8_t> bytes_;
    size_t limit_;
};

// Request plaintexts.
Bytes tunnexPingPlaintext(uint64_t pingCounter, const std::vector<TunnexAddressEntry>& addresses);
// The UUID is cut to 47 bytes (truncated reports whether that happened).
Bytes tunnexConnectPlaintext(uint64_t peerId, uint64_t transactionId, std::string_view uuid,
                             bool* truncated = nullptr);

// Seals a request into a datagram. A Cipher error names the cipher's complaint (for example a key
// that is not 16, 24 or 32 bytes long).
TunnexResult<Bytes> tunnexSealRequest(uint64_t assignedId, uint64_t nonce, std::span<const uint8_t> key,
                                      std::span<const uint8_t> plaintext);
// Seals a reply the way the server does; for tests and tools.
TunnexResult<Bytes> tunnexSealReply(uint64_t nonce, std::span<const uint8_t> key, std::span<const uint8_t> plaintext);

// The process-wide request nonces: the first is 1, each later one a value higher; never reset.
class TunnexRequestNonces {
public:
    uint64_t next();
    uint64_t peek() const;

private:
    mutable std::mutex mutex_;
    uint64_t next_ = 1;
};

// The highest reply nonce accepted. A reply counts only when its nonce is greater than it.
class TunnexReplyNonceGate {
public:
    bool isNew(uint64_t nonce) const;
    // Raises the mark when nonce is new; returns whether it was.
    bool accept(uint64_t nonce);
    void reset();
    uint64_t highest() const;

private:
    mutable std::mutex mutex_;
    uint64_t highest_ = 0;
};

enum class TunnexReplyRefusal { None, TooShort, NotAReply, EmptyKey, CipherFailure, BadTag, RepeatedNonce };

struct TunnexOpenedReply {
    TunnexReplyRefusal refusal = TunnexReplyRefusal::None;
    uint64_t nonce = 0;
    Bytes plaintext;    // empty unless refusal is None
    std::string error;  // the cipher's message for CipherFailure
    explicit operator bool() const { return refusal == TunnexReplyRefusal::None; }
    uint16_t packetType() const;
};

// Opens a reply: length and magic first, then the key, then the tag; only a reply whose tag
// verifies has its nonce checked against the gate and recorded, so a forged datagram can neither
// raise the mark nor be replayed. Logs each refusal.
TunnexOpenedReply tunnexOpenReply(std::span<const uint8_t> datagram, std::span<const uint8_t> key,
                                  TunnexReplyNonceGate& gate);

// Reply plaintexts, read from the opened bytes (zero beyond them, nothing beyond 2048 bytes).
struct TunnexServerPong {
    bool hasAddress = false;
    TunnexAddressEntry external;
};
struct TunnexServerInvitation {
    int64_t transactionId = 0;
    bool hasIPv4 = false;
    TunnexAddressEntry other;  // address at 14, port at 35
    bool hasProxy = false;
    TunnexAddressEntry proxy;
    std::string uuid;  // empty when the field has no terminating zero
    uint16_t alternateCount = 0;  // as the server wrote it
    std::vector<TunnexAddressEntry> alternates;  // the entries that lie inside the opened bytes
};
TunnexServerPong tunnexReadPong(std::span<const uint8_t> plaintext);
TunnexServerInvitation tunnexReadInvitation(std::span<const uint8_t> plaintext);
uint16_t tunnexReadErrorCode(std::span<const uint8_t> plaintext);

// The IPv4 socket address of an entry (port stored in network order).
sockaddr_storage tunnexSocketAddress(const TunnexAddressEntry& entry);
// Dotted-quad text of an entry's address.
std::string tunnexAddressText(uint32_t networkOrder);

}  // namespace kl

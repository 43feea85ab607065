#include "tunnel/protocol/TunnexRendezvousCodec.h"

#include <arpa/inet.h>
#include <cryptopp/aes.h>
#include <cryptopp/ccm.h>

#include <algorithm>
#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl {

// --- wire fields ---

void TunnexWireWriter::u16(uint16_t value) {
    out_.push_back(uint8_t(value));
    out_.push_back(uint8_t(value >> 8));
}

void TunnexWireWriter::u64(uint64_t value) {
    for (int i = 0; i < 8; ++i) out_.push_back(uint8_t(value >> (8 * i)));
}

void TunnexWireWriter::address(uint32_t networkOrder) {
    uint8_t bytes[4];
    std::memcpy(bytes, &networkOrder, 4);
    out_.insert(out_.end(), bytes, bytes + 4);
}

uint8_t TunnexWireReader::byte(size_t offset) const {
    if (offset >= limit_ || offset >= bytes_.size()) return 0;
    return bytes_[offset];
}

uint8_t TunnexWireReader::u8(size_t offset) const { return byte(offset); }

uint16_t TunnexWireReader::u16(size_t offset) const { return uint16_t(byte(offset) | (byte(offset + 1) << 8)); }

uint64_t TunnexWireReader::u64(size_t offset) const {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | byte(offset + size_t(i));
    return value;
}

uint32_t TunnexWireReader::address(size_t offset) const {
    uint8_t bytes[4] = {byte(offset), byte(offset + 1), byte(offset + 2), byte(offset + 3)};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

bool TunnexWireReader::contains(size_t offset, size_t count) const {
    size_t end = std::min(limit_, bytes_.size());
    return offset <= end && count <= end - offset;
}

std::optional<std::string> TunnexWireReader::text(size_t offset, size_t width) const {
    size_t end = std::min({limit_, bytes_.size(), offset + width});
    for (size_t i = offset; i < end; ++i) {
        if (bytes_[i] == 0) return std::string(reinterpret_cast<const char*>(bytes_.data() + offset), i - offset);
    }
    return std::nullopt;
}

// --- request plaintexts ---

namespace {

void writeRequestPrefix(TunnexWireWriter& writer, uint16_t type) {
    writer.u16(type);
    writer.u8(1);
    writer.u8(1);
    writer.u8(0);
}

}  // namespace

Bytes tunnexPingPlaintext(uint64_t pingCounter, const std::vector<TunnexAddressEntry>& addresses) {
    // The count field is 16 bits; a host never has that many interfaces, but cut rather than wrap.
    size_t count = std::min<size_t>(addresses.size(), 0xFFFF);
    Bytes out;
    out.reserve(kTunnexPingPlaintextBaseLength + kTunnexAddressEntryLength * count);
    TunnexWireWriter writer(out);
    writeRequestPrefix(writer, ServerPingRequest);
    writer.u64(pingCounter);
    writer.u16(uint16_t(count));
    for (size_t i = 0; i < count; ++i) {
        writer.address(addresses[i].address);
        writer.u16(addresses[i].port);
    }
    return out;
}

Bytes tunnexConnectPlaintext(uint64_t peerId, uint64_t transactionId, std::string_view uuid, bool* truncated) {
    Bytes out;
    out.reserve(kTunnexConnectPlaintextLength);
    TunnexWireWriter writer(out);
    writeRequestPrefix(writer, ServerConnectRequest);
    writer.u64(peerId);
    writer.u64(transactionId);
    writer.zeros(2);
    size_t length = std::min(uuid.size(), kTunnexUUIDFieldLength - 1);
    if (truncated) *truncated = uuid.size() >= kTunnexUUIDFieldLength;
    out.insert(out.end(), uuid.begin(), uuid.begin() + ptrdiff_t(length));
    writer.zeros(kTunnexUUIDFieldLength - length);  // the terminating zero and the rest of the field
    writer.zeros(kTunnexConnectPlaintextLength - out.size());
    return out;
}

// --- sealing ---

namespace {

TunnexResult<Bytes> seal(Bytes header, std::span<const uint8_t> nonceBytes, std::span<const uint8_t> key,
                         std::span<const uint8_t> plaintext) {
    try {
        CryptoPP::CCM<CryptoPP::AES, kTunnexTagLength>::Encryption cipher;
        cipher.SetKeyWithIV(key.data(), key.size(), nonceBytes.data(), nonceBytes.size());
        cipher.SpecifyDataLengths(0, plaintext.size(), 0);
        size_t start = header.size();
        header.resize(start + plaintext.size() + kTunnexTagLength);
        if (!plaintext.empty()) cipher.ProcessData(header.data() + start, plaintext.data(), plaintext.size());
        cipher.TruncatedFinal(header.data() + start + plaintext.size(), kTunnexTagLength);
        return header;
    } catch (const CryptoPP::Exception& e) {
        return TunnexError(TunnexErrorCode::Cipher, e.what());
    }
}

}  // namespace

TunnexResult<Bytes> tunnexSealRequest(uint64_t assignedId, uint64_t nonce, std::span<const uint8_t> key,
                                      std::span<const uint8_t> plaintext) {
    Bytes header;
    TunnexWireWriter writer(header);
    writer.u64(assignedId);
    writer.u64(nonce);
    Bytes nonceBytes(header.begin() + 8, header.end());
    return seal(std::move(header), nonceBytes, key, plaintext);
}

TunnexResult<Bytes> tunnexSealReply(uint64_t nonce, std::span<const uint8_t> key, std::span<const uint8_t> plaintext) {
    Bytes header;
    TunnexWireWriter writer(header);
    writer.u16(kTunnexServerReplyMagic);
    writer.u64(nonce);
    Bytes nonceBytes(header.begin() + 2, header.end());
    return seal(std::move(header), nonceBytes, key, plaintext);
}

// --- nonces ---

uint64_t TunnexRequestNonces::next() {
    std::lock_guard lock(mutex_);
    return next_++;
}

uint64_t TunnexRequestNonces::peek() const {
    std::lock_guard lock(mutex_);
    return next_;
}

bool TunnexReplyNonceGate::isNew(uint64_t nonce) const {
    std::lock_guard lock(mutex_);
    return nonce > highest_;
}

bool TunnexReplyNonceGate::accept(uint64_t nonce) {
    std::lock_guard lock(mutex_);
    if (nonce <= highest_) return false;
    highest_ = nonce;
    return true;
}

void TunnexReplyNonceGate::reset() {
    std::lock_guard lock(mutex_);
    highest_ = 0;
}

uint64_t TunnexReplyNonceGate::highest() const {
    std::lock_guard lock(mutex_);
    return highest_;
}

// --- opening replies ---

uint16_t TunnexOpenedReply::packetType() const { return TunnexWireReader(plaintext).u16(0); }

TunnexOpenedReply tunnexOpenReply(std::span<const uint8_t> datagram, std::span<const uint8_t> key,
                                  TunnexReplyNonceGate& gate) {
    TunnexOpenedReply reply;
    if (datagram.size() < kTunnexReplyMinimumLength) {
        KLLog(kKLTLoggingLevelDebug, "Server reply of %zu bytes is too short; dropped", datagram.size());
        reply.refusal = TunnexReplyRefusal::TooShort;
        return reply;
    }
    TunnexWireReader reader(datagram);
    if (reader.u16(0) != kTunnexServerReplyMagic) {
        reply.refusal = TunnexReplyRefusal::NotAReply;
        return reply;
    }
    reply.nonce = reader.u64(2);
    if (key.empty()) {
        KLLog(kKLTLoggingLevelDebug, "Received zero length crypto key");
        reply.refusal = TunnexReplyRefusal::EmptyKey;
        return reply;
    }
    const size_t length = datagram.size() - kTunnexReplyMinimumLength;
    const uint8_t* cipherText = datagram.data() + kTunnexReplyHeaderLength;
    const uint8_t* tag = cipherText + length;
    Bytes plaintext(length);
    bool verified = false;
    try {
        CryptoPP::CCM<CryptoPP::AES, kTunnexTagLength>::Decryption cipher;
        cipher.SetKeyWithIV(key.data(), key.size(), datagram.data() + 2, 8);
        cipher.SpecifyDataLengths(0, length, 0);
        if (length) cipher.ProcessData(plaintext.data(), cipherText, length);
        verified = cipher.TruncatedVerify(tag, kTunnexTagLength);
    } catch (const CryptoPP::Exception& e) {
        KLLog(kKLTLoggingLevelError, "Cryptopp reported %s", e.what());
        reply.refusal = TunnexReplyRefusal::CipherFailure;
        reply.error = e.what();
        return reply;
    }
    if (!verified) {
        KLLog(kKLTLoggingLevelError, "CCM MAC failed");
        reply.refusal = TunnexReplyRefusal::BadTag;
        return reply;
    }
    // The nonce is checked and recorded only for an authentic reply: otherwise one forged datagram
    // with a huge nonce would raise the mark and silence the server.
    if (!gate.accept(reply.nonce)) {
        KLLog(kKLTLoggingLevelDebug, "Server repeated nonce %llu", (unsigned long long)reply.nonce);
        reply.refusal = TunnexReplyRefusal::RepeatedNonce;
        return reply;
    }
    reply.plaintext = std::move(plaintext);
    return reply;
}

// --- reply plaintexts ---

TunnexServerPong tunnexReadPong(std::span<const uint8_t> plaintext) {
    TunnexWireReader reader(plaintext, kTunnexReplyBufferLength);
    TunnexServerPong pong;
    pong.hasAddress = reader.u8(13) != 0;
    pong.external.address = reader.address(14);
    pong.external.port = reader.u16(18);
    return pong;
}

TunnexServerInvitation tunnexReadInvitation(std::span<const uint8_t> plaintext) {
    TunnexWireReader reader(plaintext, kTunnexReplyBufferLength);
    TunnexServerInvitation invitation;
    invitation.transactionId = int64_t(reader.u64(5));
    invitation.hasIPv4 = reader.u8(13) != 0;
    invitation.other.address = reader.address(14);
    invitation.hasProxy = reader.u8(18) != 0;
    invitation.proxy.address = reader.address(19);
    invitation.proxy.port = reader.u16(23);
    invitation.other.port = reader.u16(35);
    invitation.alternateCount = reader.u16(37);
    invitation.uuid = reader.text(39, kTunnexUUIDFieldLength).value_or(std::string());
    for (size_t j = 0; j < invitation.alternateCount; ++j) {
        size_t offset = 87 + kTunnexAddressEntryLength * j;
        if (!reader.contains(offset, kTunnexAddressEntryLength)) break;
        invitation.alternates.push_back({reader.address(offset), reader.u16(offset + 4)});
    }
    return invitation;
}

uint16_t tunnexReadErrorCode(std::span<const uint8_t> plaintext) {
    return TunnexWireReader(plaintext, kTunnexReplyBufferLength).u16(5);
}

sockaddr_storage tunnexSocketAddress(const TunnexAddressEntry& entry) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(entry.port);
    ipv4->sin_addr.s_addr = entry.address;
    return storage;
}

std::string tunnexAddressText(uint32_t networkOrder) {
    in_addr address{networkOrder};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace kl

#include "tunnel/protocol/TunnexHolePunchCodec.h"

#include <cstring>

#include "tunnel/protocol/TunnexDatagramClass.h"

namespace kl {
namespace {

template <size_t N>
void writeWordAndTransaction(std::array<uint8_t, N>& datagram, uint16_t word, int64_t transactionId) {
    datagram[0] = uint8_t(word & 0xFF);
    datagram[1] = uint8_t(word >> 8);
    const uint64_t id = uint64_t(transactionId);
    for (size_t i = 0; i < 8; ++i) datagram[kTunnexRecordTransactionOffset + i] = uint8_t(id >> (8 * i));
}

}  // namespace

TunnexAhoy tunnexBuildAhoy(int64_t transactionId, bool originator) {
    TunnexAhoy ahoy{};
    writeWordAndTransaction(ahoy, tunnexAhoyMagic(originator), transactionId);
    return ahoy;
}

uint16_t tunnexBuildHello(bool originator) { return originator ? kTunnexHelloOriginator : kTunnexHelloResponder; }

TunnexAcknowledgement tunnexBuildAcknowledgement(int64_t transactionId, uint16_t type, std::string_view machineUUID,
                                                 bool* truncated) {
    TunnexAcknowledgement record{};
    writeWordAndTransaction(record, type, transactionId);
    // The field keeps a terminating zero: at most 47 bytes of text.
    const size_t room = kTunnexRecordUUIDLength - 1;
    const size_t length = std::min(machineUUID.size(), room);
    if (truncated) *truncated = machineUUID.size() > room;
    std::memcpy(record.data() + kTunnexRecordUUIDOffset, machineUUID.data(), length);
    return record;
}

const char* tunnexAcknowledgementTypeName(uint16_t type) {
    switch (type) {
    case kTunnexPeerConfirmMsg: return "PEER_CONFIRM_MSG";
    case kTunnexPeerAcceptMsg: return "PEER_ACCEPT_MSG";
    case kTunnexPeerRejectMsg: return "PEER_REJECT_MSG";
    default: return "Unknown";
    }
}

}  // namespace kl

// The datagrams of the hole-punch handshake and the schedule of its punch rounds, without I/O.
//
// Every multi-byte field is little-endian and written without conversion. The short words (HELLO,
// CONFIRM, ACCEPT) are the whole datagram; the AHOY (24 bytes) and the acknowledgement record
// (76 bytes) carry the transaction id at offset 4, the record also the sender's machine UUID as a
// zero-terminated text of at most 47 bytes at offset 12.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kl {

inline constexpr size_t kTunnexAhoyLength = 24;
inline constexpr size_t kTunnexAcknowledgementLength = 76;
// Named for the log only: nothing sends it and no classifier accepts it.
inline constexpr uint16_t kTunnexPeerRejectMsg = 0xAC1D;

using TunnexAhoy = std::array<uint8_t, kTunnexAhoyLength>;
using TunnexAcknowledgement = std::array<uint8_t, kTunnexAcknowledgementLength>;

// 0xFACE from the originator of the transaction, 0xBABE from the other side.
TunnexAhoy tunnexBuildAhoy(int64_t transactionId, bool originator);
// 0xCAFE from the originator, 0xBEEF from the responder.
uint16_t tunnexBuildHello(bool originator);
// truncated (optional) tells whether the UUID had to be cut to fit its field.
TunnexAcknowledgement tunnexBuildAcknowledgement(int64_t transactionId, uint16_t type, std::string_view machineUUID,
                                                 bool* truncated = nullptr);
// "PEER_CONFIRM_MSG", "PEER_ACCEPT_MSG", "PEER_REJECT_MSG" or "Unknown".
const char* tunnexAcknowledgementTypeName(uint16_t type);

// The schedule of one punch attempt: up to 1024 rounds; each round draws a random port (never
// below 1024), sends from a fresh socket and from the handoff socket, and every 32nd round polls
// the fresh sockets for answers.
inline constexpr int kTunnexPunchRounds = 1024;
inline constexpr int kTunnexPunchAdvertisedRounds = 16;
inline constexpr int kTunnexPunchPollEvery = 32;

// The round's port from a random draw: its low 16 bits with bit 10 set.
constexpr uint16_t tunnexPunchPort(uint32_t randomValue) { return uint16_t((randomValue & 0xFBFF) | 0x400); }
// Whether the handoff socket also sends to the advertised address and port in this round.
constexpr bool tunnexPunchRoundSendsToAdvertised(int round) { return round < kTunnexPunchAdvertisedRounds; }
// Whether the fresh sockets are polled after this round.
constexpr bool tunnexPunchRoundPolls(int round) { return round % kTunnexPunchPollEvery == 0; }

}  // namespace kl

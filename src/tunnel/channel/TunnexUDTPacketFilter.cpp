#include "tunnel/channel/TunnexUDTPacketFilter.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "foundation/KLTLogging.h"

namespace kl {
namespace {

// A socket filter on a UDP socket sees the datagram from its UDP header on; the IP header lies at
// SKF_NET_OFF. Loads are big-endian, as the transport writes every header and handshake word.
constexpr uint32_t kUDPPayload = 8;
constexpr uint32_t kControlFlag = 0x80000000u;
constexpr uint32_t kControlType = 0x7fff0000u;   // 0 is the handshake
constexpr uint32_t kSegmentSizeAt = kUDPPayload + 16 + 12;  // after the 16-byte header: version, type, ISN
constexpr uint32_t kFlightSizeAt = kSegmentSizeAt + 4;
constexpr uint32_t kPass = 0xffffffffu;

}  // namespace

TunnexResult<void> tunnexGuardUDTSocket(int udpFd, const sockaddr_in& peer) {
    const uint32_t address = ntohl(peer.sin_addr.s_addr);
    const uint32_t port = ntohs(peer.sin_port);
    // Jump offsets count the instructions to skip; "drop" is the last instruction, "pass" the one
    // before it. A load beyond the datagram's end ends the program with 0: dropped.
    sock_filter program[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_NET_OFF) + 12),  // IPv4 source
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, address, 0, 14),
        /* 2 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0),  // UDP source port
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 12),
        /* 4 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kUDPPayload),
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kControlFlag, 0, 9),  // a data packet: pass
        /* 6 */ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, kControlType),
        /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 7),  // another control packet: pass
        /* 8 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kSegmentSizeAt),
        /* 9 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kTunnexUDTMinimumSegmentSize, 0, 6),
        /* 10 */ BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kTunnexUDTMaximumSegmentSize, 5, 0),
        /* 11 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFlightSizeAt),
        /* 12 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kTunnexUDTMinimumFlightSize, 0, 3),
        /* 13 */ BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kTunnexUDTMaximumFlightSize, 2, 0),
        /* 14 */ BPF_STMT(BPF_RET | BPF_K, kPass),
        /* 15 */ BPF_STMT(BPF_RET | BPF_K, kPass),
        /* 16 */ BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (::setsockopt(udpFd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) {
        const int failure = errno;
        KLLog(kKLTLoggingLevelError, "Cannot filter the tunnel socket: %s", std::strerror(failure));
        return TunnexError::system("setsockopt(SO_ATTACH_FILTER)", failure);
    }
    uint8_t discard[1];
    while (::recv(udpFd, discard, sizeof discard, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return {};
}

}  // namespace kl

// Opening a UDT channel on a tunnel's punched UDP socket: every channel of a tunnel (the main
// channel in message mode, each data channel in stream mode) shares that one descriptor.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <functional>

#include "tunnel/TunnexResult.h"
#include "tunnel/channel/TunnexCongestionControl.h"

namespace kl {

enum class TunnexChannelMode {
    Message,  // SOCK_DGRAM: the main channel's control messages
    Stream,   // SOCK_STREAM: a data channel
};

// Makes a UDT socket of the descriptor's address family in rendezvous mode with address reuse
// (so all sockets on the descriptor share one UDT multiplexer), binds it onto udpFd and connects
// it to remote; both sides connect at once. The connect runs in the background and the socket
// manager's poll loop watches it until it is connected or limit has passed (UDT's own limit of a
// rendezvous connect by default); completion then gets the connected socket, in blocking mode,
// or the error, the UDT socket closed. Completion runs on the poll loop's thread, or on the
// caller's when the connect could not be started. Once a socket is bound, UDT owns the
// descriptor and closes it after its last socket on it is gone: the caller must not close it. A
// data channel sends under the given congestion control (the process's choice by default); the
// main channel under UDT's own.
inline constexpr std::chrono::milliseconds kTunnexRendezvousConnectLimit{30000};
using TunnexChannelCompletion = std::function<void(TunnexResult<int>)>;
void openUDTChannelAsync(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                         TunnexChannelCompletion completion,
                         std::chrono::milliseconds limit = kTunnexRendezvousConnectLimit,
                         TunnexCongestionControl control = tunnexCongestionControl());
// The same, waiting for the outcome (never call it on the poll loop's thread).
TunnexResult<int> openUDTChannel(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                                 std::chrono::milliseconds limit = kTunnexRendezvousConnectLimit,
                                 TunnexCongestionControl control = tunnexCongestionControl());

}  // namespace kl

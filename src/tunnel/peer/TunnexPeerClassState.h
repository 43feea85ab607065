// Internal to TunnexPeer: the state all peers of the process share.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"

namespace kl {

struct TunnexPeerClassState {
    // Guards registeredPeer and pingSocket, which are read and replaced together, and the arming of
    // the registered peer's ping and time-out timers. Held only around those reads, writes and
    // timer calls: never across a socket send, a socket or peer creation, or a call to a manager,
    // layer or delegate.
    std::mutex pingSocketLock;
    std::shared_ptr<TunnexPeer> registeredPeer;
    std::shared_ptr<KLNetSocket> pingSocket;

    // Written at registration on the caller's thread, read by every ping.
    std::mutex globalsMutex;
    std::string serverHost;
    uint16_t serverPort = kTunnexServerPort;
    uint64_t assignedId = 0;
    std::optional<std::string> machineUUID;  // empty: the machine's own
    TunnexPeer::Timing timing;

    TunnexRequestNonces requestNonces;
    // Transactions whose invitation this process has followed, with the time it did (seconds
    // since 1970): the server answers every repeat of a connect request, also after the invited
    // peer has passed its registration on. Forgotten when the tunnel manager prunes transactions.
    std::mutex invitedMutex;
    std::map<int64_t, double> invitedTransactions;
    // The handle of the latest connect request of the process.
    std::atomic<uint64_t> connectionHandleCounter{0};
    TunnexReplyNonceGate replyNonces;
    // Every second ping time-out of the process reaches the invite delegate.
    std::atomic<bool> delayTimeoutReport{false};
};

// The process's shared state, after the class start-up has run; never destroyed.
TunnexPeerClassState& tunnexPeerClassState();

}  // namespace kl

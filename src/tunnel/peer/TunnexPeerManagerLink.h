// What a tunnel peer asks of the tunnel manager: the transaction table, the connection time-outs,
// the queue of waiting connections and the peers' outcomes. A manager installs itself in the
// context (TunnexContext.h) of the peers it owns; until one does, a peer works alone (no
// transaction is known, no connection is queued, outcomes reach only the peer's own delegate).
// The functions below are the default context's slot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/TunnexTunnelStatus.h"

namespace kl {

class TunnexPeer;
class TunnexRemotePeer;
class TunnexTransaction;

// Called from the main loop and from datagram threads; implementations serialise their tables.
class TunnexPeerManagerLink {
public:
    virtual ~TunnexPeerManagerLink() = default;

    // A pong arrived: start the next queued connection, if any.
    virtual void fulfillNextQueuedConnection() = 0;
    // Starts (or restarts) the connection time-out of the peer.
    virtual void registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>& peer) = 0;
    // True when the manager holds a transaction with the id that this machine started.
    virtual bool isOriginatorForTransactionId(int64_t transactionId) = 0;
    virtual std::shared_ptr<TunnexTransaction> transactionForTransactionId(int64_t transactionId) = 0;
    virtual void registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) = 0;
    // Merges the record into the manager's record of the same machine; returns the record to use.
    virtual std::shared_ptr<TunnexRemotePeer> updateRegistrationWithPeer(
        const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // The peers that serve remote machines, for the ping's log lines.
    virtual std::vector<std::shared_ptr<TunnexPeer>> activePeers() = 0;
    // A new originated transaction of the peer toward the remote, registered in the table.
    virtual std::shared_ptr<TunnexTransaction> nextTransactionWithPeer(
        const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // The peer now serves the remote's UUID; the record is merged into the manager's.
    virtual void assignPeerToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                    const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // Stamps a connection start for the UUID's record.
    virtual void markStartForRemoteUUID(const std::string& uuid) = 0;
    // Reports the status for the UUID at once.
    virtual void reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) = 0;
    // Records the status for the UUID and reports it (on a global queue) only when it differs from
    // the last one recorded.
    virtual void dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) = 0;
    // The outcomes of a peer's connection.
    virtual void peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                        const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // Forwarded connections that waited for the tunnel to the UUID may proceed.
    virtual void fulfillQueuedChannelRequestsForUUID(const std::string& uuid) = 0;
    virtual void peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                             const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    virtual void peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>& peer,
                                            const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
};

std::shared_ptr<TunnexPeerManagerLink> tunnexPeerManager();
void setTunnexPeerManager(std::shared_ptr<TunnexPeerManagerLink> manager);

}  // namespace kl

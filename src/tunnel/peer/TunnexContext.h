// TunnexContext: what the tunnel peers of one node share. A peer is given its context when it is
// made (a recycled peer inherits its predecessor's) and reaches the node's rendezvous
// registration, settings, nonces, followed invitations, tunnel manager and connection layer only
// through it, so two contexts in one process are two independent nodes. TunnexPeer's class API
// works on the process's default context.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/protocol/TunnexRendezvousCodec.h"

namespace kl {

class KLNetSocket;
class TunnexPeerConnectionLayer;
class TunnexPeerManagerLink;

class TunnexContext {
    struct Private {};

public:
    // The process's default context, made on first use and never destroyed. (The library's
    // process-wide start-up runs with the first peer: TunnexPeer::initialize.)
    static const std::shared_ptr<TunnexContext>& processDefault();
    // A context of its own: a hole-punch layer of its own, no tunnel manager, no registration.
    static std::shared_ptr<TunnexContext> create();
    explicit TunnexContext(Private) {}
    TunnexContext(const TunnexContext&) = delete;
    TunnexContext& operator=(const TunnexContext&) = delete;

    // The tunnel manager that owns this context's peers (it installs itself); until one does, a
    // peer works alone.
    std::shared_ptr<TunnexPeerManagerLink> manager() const;
    void setManager(std::shared_ptr<TunnexPeerManagerLink> manager);
    // The hole punch and main-channel sender of this context's peers.
    std::shared_ptr<TunnexPeerConnectionLayer> connectionLayer() const;
    void setConnectionLayer(std::shared_ptr<TunnexPeerConnectionLayer> layer);

    // The peer registered with the rendezvous server and its ping socket (see TunnexPeer's class
    // side for how they change).
    std::shared_ptr<TunnexPeer> registeredPeer() const;
    std::shared_ptr<KLNetSocket> pingSocket() const;

    // The rendezvous server and this node's standing with it.
    std::string serverHost() const;
    // A different host resets the reply nonce.
    void setServerHost(const std::string& host);
    uint16_t serverPort() const;
    void setServerPort(uint16_t port);
    uint64_t assignedId() const;
    void setAssignedId(uint64_t id);
    // The UUID this node is known by: the machine's own unless set.
    std::string machineUUID() const;
    void setMachineUUID(std::string uuid);
    TunnexPeer::Timing timing() const;
    void setTiming(const TunnexPeer::Timing& timing);

    TunnexRequestNonces& requestNonces() { return requestNonces_; }
    TunnexReplyNonceGate& replyNonces() { return replyNonces_; }

    // Notes that this node follows the transaction's invitation (at now, seconds since 1970);
    // false when it already did: the server answers every repeat of a connect request.
    bool followInvitation(int64_t transactionId, double now);
    // Forgets those followed before cutoff and those of the given transactions.
    void forgetInvitations(double cutoff, const std::vector<int64_t>& transactionIds);
    size_t followedInvitationCount() const;

    // The handle of this node's next connect request, and of its latest (0 before the first).
    uint64_t nextConnectionHandle() { return ++connectionHandleCounter_; }
    uint64_t connectionHandleCounter() const { return connectionHandleCounter_.load(); }

    // Every second ping time-out reaches the invite delegate: true on every second call.
    bool timeoutReportDue() { return (pingTimeouts_.fetch_add(1) & 1) == 1; }

private:
    // The registration's steps are TunnexPeer's class side; they hold pingSocketLock_.
    friend class TunnexPeer;

    mutable std::mutex linksMutex_;
    std::shared_ptr<TunnexPeerManagerLink> manager_;          // guarded by linksMutex_
    std::shared_ptr<TunnexPeerConnectionLayer> layer_;        // guarded by linksMutex_

    // Guards registeredPeer_ and pingSocket_, which are read and replaced together, and the
    // arming of the registered peer's ping and time-out timers. Held only around those reads,
    // writes and timer calls: never across a socket send, a socket or peer creation, or a call to
    // a manager, layer or delegate.
    mutable std::mutex pingSocketLock_;
    std::shared_ptr<TunnexPeer> registeredPeer_;
    std::shared_ptr<KLNetSocket> pingSocket_;

    // Written at registration on the caller's thread, read by every ping.
    mutable std::mutex settingsMutex_;
    std::string serverHost_;
    uint16_t serverPort_ = kTunnexServerPort;
    uint64_t assignedId_ = 0;
    std::optional<std::string> machineUUID_;
    TunnexPeer::Timing timing_;

    TunnexRequestNonces requestNonces_;
    TunnexReplyNonceGate replyNonces_;

    // Transactions whose invitation this node has followed, with the time it did (seconds since
    // 1970); forgotten when the tunnel manager prunes transactions.
    mutable std::mutex invitedMutex_;
    std::map<int64_t, double> invitedTransactions_;

    std::atomic<uint64_t> connectionHandleCounter_{0};
    std::atomic<uint64_t> pingTimeouts_{0};
};

}  // namespace kl

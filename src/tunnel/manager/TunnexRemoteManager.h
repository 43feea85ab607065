// src/tunnel/manager: the daemon's side of the tunnel layer: the record of each remote machine,
// its services and the peer that serves it.
//
// TunnexRemoteManager: the daemon's one contact with the tunnel layer and the tunnel layer's shared
// registry. It keeps a record per remote machine (by UUID and by service key), the tunnel peer that
// serves each remote, the queue of connect requests (served one at a time by the peer registered
// with the rendezvous server), the connection attempts, the local connections waiting for a
// tunnel, the last status reported per remote and the peers whose connection attempt is timed.
// It reports status changes to its delegate, hands a connected remote's services to the service
// registrar, runs the 30-second life check on connected main channels, times out attempts after
// 90 seconds and prunes transactions older than 360 seconds.
//
// Locks: the table lock and the connect queue's lock are plain leaves, never held together and
// never across a call out of the manager (delegate, registrar, peers, timer, queues, a queued
// connect action), so neither can wait on a lock that waits on it. In particular the time-out
// recycles the registered peer only after the table lock is released, so it cannot wait on the
// ping-socket lock while the ping path waits on the manager; and a connect action may queue
// another request (through its delegate) without finding the queue locked.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "tunnel/TunnexClock.h"
#include "tunnel/forward/TunnexForwardManagerLink.h"
#include "tunnel/peer/TunnexPeerDelegates.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemoteManagerDelegate.h"
#include "tunnel/TunnexTunnelStatus.h"

namespace kl {

class KLTTimer;
class TunnexContext;
class TunnexChannelRequest;
class TunnexServiceConnector;
class TunnexServiceRecord;

// What a connect request may name as the caller: it receives the peer's events and progress, and
// learns when the tunnel already exists (ignoring that is the default).
class TunnexConnectDelegate : public TunnexPeerDelegate, public TunnexPeerProgressDelegate {
public:
    virtual void tunnexPeerConnectionExistsForRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                         const std::shared_ptr<TunnexRemotePeer>& remotePeer) {}
};

// One queued connect request.
struct TunnexConnectionWrapper {
    std::function<void(const std::shared_ptr<TunnexPeer>&)> connectBlock;
    std::string uuid;
};

// The last status recorded for a remote.
struct TunnexConnectionStatusWrapper {
    TunnexTunnelStatus lastConnectionStatus = TunnexTunnelDisconnected;
    Date date;
};

class TunnexRemoteManager : public TunnexPeerManagerLink,
                            public TunnexForwardManagerLink,
                            public std::enable_shared_from_this<TunnexRemoteManager> {
    struct Private {};

public:
    static constexpr double kLifeCheckIntervalSeconds = 30.0;
    static constexpr double kTransactionLifetimeSeconds = 360.0;
    // Housekeeping runs this often while any transaction is kept.
    static constexpr double kHousekeepingIntervalSeconds = 30.0;

    // The process's manager, made on first use and installed as the manager of the default
    // context's peers.
    static std::shared_ptr<TunnexRemoteManager> sharedInstance();
    // A manager of its own (tests) for the default context's peers; not installed anywhere.
    static std::shared_ptr<TunnexRemoteManager> create(TunnexClock clock = tunnexSystemClock());
    // The manager of another node: installed as the manager of that context's peers.
    static std::shared_ptr<TunnexRemoteManager> createForContext(std::shared_ptr<TunnexContext> context,
                                                                 TunnexClock clock = tunnexSystemClock());
    TunnexRemoteManager(Private, TunnexClock clock, std::shared_ptr<TunnexContext> context);
    TunnexContext& context() const { return *context_; }
    ~TunnexRemoteManager() override;
    TunnexRemoteManager(const TunnexRemoteManager&) = delete;
    TunnexRemoteManager& operator=(const TunnexRemoteManager&) = delete;

    std::shared_ptr<TunnexRemoteManagerDelegate> delegate() const;
    void setDelegate(std::shared_ptr<TunnexRemoteManagerDelegate> delegate);

    // --- registry of remote machines ---
    void registerRemoteWithService(const std::shared_ptr<TunnexServiceRecord>& service);
    void registerRemoteWithServiceConnector(const std::shared_ptr<TunnexServiceConnector>& connector) override;
    // Does nothing unless all four are given; find-or-create of the record is one step.
    void registerRemoteWithName(const std::string& name, const std::string& uuid, const std::string& serverID,
                                const std::string& serviceKey);
    std::shared_ptr<TunnexRemotePeer> updateRegistrationWithPeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void registerRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    std::shared_ptr<TunnexRemotePeer> remotePeerForUUID(const std::string& uuid) const override;
    std::shared_ptr<TunnexRemotePeer> remotePeerForServiceKey(const std::string& serviceKey) const;

    // --- start marks ---
    void markStartForRemoteUUID(const std::string& uuid) override;
    bool recentStartAttemptForRemoteUUID(const std::string& uuid) const override;
    void markStartForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    bool recentStartAttemptForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) const;

    // --- transactions ---
    std::shared_ptr<TunnexTransaction> nextTransactionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                               const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) override;
    std::shared_ptr<TunnexTransaction> transactionForTransactionId(int64_t transactionId) override;
    bool isOriginatorForTransactionId(int64_t transactionId) override;
    void deleteTransaction(const std::shared_ptr<TunnexTransaction>& transaction);
    void performHousekeeping() { pruneExpiredTransactions(); }
    bool housekeepingRunning() const;
    void pruneExpiredTransactions();
    // The identifier of the latest transaction this machine started (0 before the first), for logs.
    int64_t lastOriginatedTransactionId() const { return lastOriginatedTransactionId_.load(); }

    // --- channel requests ---
    void addChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) override;
    std::vector<std::shared_ptr<TunnexChannelRequest>> channelRequestsForServiceKey(const std::string& serviceKey) const;
    void newChannelRequests(std::vector<std::shared_ptr<TunnexChannelRequest>> requests, const std::string& serviceKey);
    void removeChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request);
    // Dropped requests have their waiting local sockets closed.
    void removeChannelRequestsForServiceKey(const std::string& serviceKey);
    void fulfillQueuedChannelRequestsForUUID(const std::string& uuid) override;
    void fulfillQueuedChannelRequestsForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    void fulfillQueuedChannelRequestsForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                   const std::string& serviceKey);
    // Runs the request's create block on its remote's serial queue, from a global queue.
    void dispatchChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) override;
    void channelRequestFailedForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    // Closes the waiting local connections of every request for that remote host (its tunnel
    // could not be made), with a log line.
    void closeChannelRequestsForUUID(const std::string& uuid);

    // --- connections and tunnel peers ---
    void connectToRemoteUUID(const std::string& uuid, std::shared_ptr<TunnexConnectDelegate> delegate);
    void connectToService(const std::shared_ptr<TunnexServiceRecord>& service,
                          std::shared_ptr<TunnexConnectDelegate> delegate);
    void connectToRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                             std::shared_ptr<TunnexConnectDelegate> delegate);
    void queueTunnexConnection(TunnexConnectionWrapper wrapper);
    bool queueingConnectionForUUID(const std::string& uuid) const;
    size_t queuedConnectionCount() const;
    void fulfillNextQueuedConnection() override;

    void assignPeer(const std::shared_ptr<TunnexPeer>& peer, const std::string& uuid);
    void assignPeerToRemote(const std::shared_ptr<TunnexPeer>& peer,
                            const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    std::shared_ptr<TunnexPeer> peerForUUID(const std::string& uuid) const override;
    std::shared_ptr<TunnexPeer> peerForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer) const;
    std::vector<std::string> uuidsForPeer(const std::shared_ptr<TunnexPeer>& peer) const;
    std::string uuidForPeer(const std::shared_ptr<TunnexPeer>& peer) const;
    void deletePeer(const std::shared_ptr<TunnexPeer>& peer);
    void deletePeerForUUID(const std::string& uuid);
    std::vector<std::shared_ptr<TunnexPeer>> activePeers() override;
    std::vector<std::shared_ptr<TunnexPeer>> registeredTimeoutPeers() const;
    void unregisterPeerWithUUID(const std::string& uuid);
    void disconnectPeerWithUUID(const std::string& uuid);
    void disconnectFromAllPeers();
    void registerServiceForwardingForRemote(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    void registerServicesForUUID(const std::string& uuid);

    // --- events from the tunnel peer ---
    void peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                     const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;
    void peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>& peer,
                                    const std::shared_ptr<TunnexRemotePeer>& remotePeer) override;

    // --- status ---
    void dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override;
    void reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override;
    TunnexTunnelStatus connectionStatusForUUID(const std::string& uuid) const;
    static const char* connectionStatusName(int32_t status);

    // --- time-outs, life check ---
    void registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>& peer) override;
    void timeoutRegisteredPeers();
    void expireDisconnectedPeers();
    void connectivityChanged();
    void connectivityTimerRun();
    bool lifeCheckRunning() const;

private:
    std::shared_ptr<TunnexRemotePeer> registerRemoteLocked(const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    std::vector<std::string> uuidsForPeerLocked(const TunnexPeer* peer) const;
    // The peer's tunnel failed or ended: its UUID entry and its time-out go.
    void forgetEndedPeer(const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexRemotePeer>& remotePeer);
    // Takes the key's requests out of the table (under the lock) and returns them.
    std::vector<std::shared_ptr<TunnexChannelRequest>> takeChannelRequests(const std::string& serviceKey);
    // Every waiting request whose remote or service names that host, whatever its service key.
    std::vector<std::shared_ptr<TunnexChannelRequest>> takeChannelRequestsForUUID(const std::string& uuid);
    void fulfillChannelRequests(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests,
                                const std::string& serviceKey);
    static void closeDroppedRequests(const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests);
    // closeDroppedRequests' task: takes the core lock.
    static void closeDroppedRequestsNow(const std::vector<std::shared_ptr<TunnexChannelRequest>>& requests);

    const TunnexClock clock_;
    // The node whose peers this manager serves: its registered peer takes the queued connections.
    const std::shared_ptr<TunnexContext> context_;

    std::atomic<int64_t> lastOriginatedTransactionId_{0};
    mutable std::mutex mutex_;  // the table lock: every field below
    std::shared_ptr<TunnexRemoteManagerDelegate> delegate_;
    std::map<std::string, std::shared_ptr<TunnexRemotePeer>> remotePeersByUUID_;
    std::map<std::string, std::shared_ptr<TunnexRemotePeer>> remotePeersByServiceKey_;
    std::map<std::string, std::shared_ptr<TunnexPeer>> peersByUUID_;
    std::map<int64_t, std::shared_ptr<TunnexTransaction>> transactionDictionary_;
    std::map<std::string, std::vector<std::shared_ptr<TunnexChannelRequest>>> channelRequestDictionary_;
    std::map<std::string, TunnexConnectionStatusWrapper> connectionStatusByUUID_;
    std::set<std::shared_ptr<TunnexPeer>> peersWithRegisteredTimeouts_;

    // The connect queue's lock: a leaf like the table lock, held around the queue's own reads and
    // writes only.
    mutable std::mutex queueMutex_;
    std::vector<TunnexConnectionWrapper> connectionQueue_;  // guarded by queueMutex_
    // Guarded by queueMutex_: a thread is starting queued connections (one at a time, outside the
    // lock), and another call asked meanwhile, so that thread looks at the queue once more.
    bool fulfilling_ = false;
    bool fulfillAgain_ = false;
    // Pops and runs the head of the queue when the registered peer can take it.
    void startHeadOfQueue();

    // The life check; started and cancelled under its own lock so reports from any thread agree.
    mutable std::mutex lifeCheckMutex_;
    std::unique_ptr<KLTTimer> lifeCheckTimer_;  // guarded by lifeCheckMutex_
    // Prunes transactions on the global queue from the first registered one on; started under the
    // life check's lock.
    std::unique_ptr<KLTTimer> housekeepingTimer_;
};

}  // namespace kl

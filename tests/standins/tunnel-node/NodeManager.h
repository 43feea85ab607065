// The tunnel node's stand-in for the tunnel manager: the remotes named on the command line, the
// transactions of this run, the peers serving each remote, and the status reports, which it hands
// to the node in the order they were made. The daemon's tunnel manager takes this place in the
// real system.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/Executors.h"
#include "tunnel/TunnexPeerManagerLink.h"
#include "tunnel/TunnexRemotePeer.h"
#include "tunnel/TunnexTransaction.h"

namespace kl {

class NodeManager : public TunnexPeerManagerLink {
public:
    using StatusReport = std::function<void(const std::string& uuid, TunnexTunnelStatus status)>;
    explicit NodeManager(StatusReport report) : report_(std::move(report)) {}

    // A remote host by its account-server id.
    void addRemote(uint64_t serverId, const std::string& uuid);
    std::shared_ptr<TunnexRemotePeer> remoteWithServerId(uint64_t serverId);
    // The id of the latest transaction this node started (0 before the first).
    int64_t lastOriginatedTransactionId();

    void fulfillNextQueuedConnection() override {}
    void registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>&) override {}
    bool isOriginatorForTransactionId(int64_t transactionId) override;
    std::shared_ptr<TunnexTransaction> transactionForTransactionId(int64_t transactionId) override;
    void registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) override;
    std::shared_ptr<TunnexRemotePeer> updateRegistrationWithPeer(const std::shared_ptr<TunnexRemotePeer>& remote) override;
    std::vector<std::shared_ptr<TunnexPeer>> activePeers() override;
    std::shared_ptr<TunnexTransaction> nextTransactionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                               const std::shared_ptr<TunnexRemotePeer>& remote) override;
    void assignPeerToRemote(const std::shared_ptr<TunnexPeer>& peer,
                            const std::shared_ptr<TunnexRemotePeer>& remote) override;
    void markStartForRemoteUUID(const std::string& uuid) override;
    void reportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override;
    void dispatchReportConnectionStatus(TunnexTunnelStatus status, const std::string& uuid) override;
    void peerDidConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                const std::shared_ptr<TunnexRemotePeer>& remote) override;
    void fulfillQueuedChannelRequestsForUUID(const std::string&) override {}
    void peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>& peer,
                                     const std::shared_ptr<TunnexRemotePeer>& remote) override;
    void peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>& peer,
                                    const std::shared_ptr<TunnexRemotePeer>& remote) override;

private:
    void forgetPeer(const std::shared_ptr<TunnexPeer>& peer);

    StatusReport report_;
    // Reports leave one at a time and in order.
    SerialQueue reports_{"node.status"};
    std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<TunnexRemotePeer>> remotesById_;
    std::map<int64_t, std::shared_ptr<TunnexTransaction>> transactions_;
    std::map<std::string, std::shared_ptr<TunnexPeer>> peersByUUID_;
    std::map<std::string, TunnexTunnelStatus> lastStatusByUUID_;
    int64_t lastOriginated_ = 0;
};

}  // namespace kl

// The tunnel node's stand-in for the tunnel manager: the remotes named on the command line and the
// transactions of this run. The daemon's tunnel manager takes this place in the real system.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "tunnel/TunnexPeerManagerLink.h"
#include "tunnel/TunnexRemotePeer.h"
#include "tunnel/TunnexTransaction.h"

namespace kl {

class NodeManager : public TunnexPeerManagerLink {
public:
    // A remote host by its account-server id.
    void addRemote(uint64_t serverId, const std::string& uuid);
    std::shared_ptr<TunnexRemotePeer> remoteWithServerId(uint64_t serverId);
    // A transaction this node starts toward the remote.
    std::shared_ptr<TunnexTransaction> originateTransaction(const std::shared_ptr<TunnexRemotePeer>& remote);

    void fulfillNextQueuedConnection() override {}
    void registerTimeoutForPeer(const std::shared_ptr<TunnexPeer>&) override {}
    bool isOriginatorForTransactionId(int64_t transactionId) override;
    std::shared_ptr<TunnexTransaction> transactionForTransactionId(int64_t transactionId) override;
    void registerTransaction(const std::shared_ptr<TunnexTransaction>& transaction) override;
    std::shared_ptr<TunnexRemotePeer> updateRegistrationWithPeer(const std::shared_ptr<TunnexRemotePeer>& remote) override;
    std::vector<std::shared_ptr<TunnexPeer>> activePeers() override { return {}; }
    void peerFailedToConnectToRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {}
    void peerDisconnectedFromRemote(const std::shared_ptr<TunnexPeer>&, const std::shared_ptr<TunnexRemotePeer>&) override {}

private:
    std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<TunnexRemotePeer>> remotesById_;
    std::map<int64_t, std::shared_ptr<TunnexTransaction>> transactions_;
};

}  // namespace kl

// One connection attempt between this machine and one remote machine, named by the 64-bit
// identifier that both sides and the rendezvous server use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include <netinet/in.h>

namespace kl {

class TunnexPeer;
class TunnexRemotePeer;

// Fields may be read and written from the datagram thread and a hole-punch worker at once.
class TunnexTransaction {
public:
    TunnexTransaction() = default;

    // The next identifier of a transaction this machine starts: a random start in 0 ... 2^31 - 1
    // drawn on the first call, then consecutive values.
    static int64_t nextOriginatingTransactionId();

    int64_t transactionId() const { return transactionId_.load(); }
    void setTransactionId(int64_t id) { transactionId_.store(id); }
    std::shared_ptr<TunnexPeer> peer() const;
    void setPeer(std::shared_ptr<TunnexPeer> peer);
    std::shared_ptr<TunnexRemotePeer> remotePeer() const;
    void setRemotePeer(std::shared_ptr<TunnexRemotePeer> remotePeer);
    // This machine asked for the connection (YES at creation) rather than answering an invitation.
    bool isOriginator() const { return isOriginator_.load(); }
    void setIsOriginator(bool value) { isOriginator_.store(value); }
    bool isComplete() const { return isComplete_.load(); }
    void setIsComplete(bool value) { isComplete_.store(value); }
    // The attempt ended (connected or failed): marked complete, so that late datagrams and late
    // invitations of it change nothing, and its peer and remote let go until housekeeping prunes
    // it.
    void finish();
    // The hole-punch handshake waits for the other side's confirmation.
    bool isWaitingForAcceptance() const { return isWaitingForAcceptance_.load(); }
    void setIsWaitingForAcceptance(bool value) { isWaitingForAcceptance_.store(value); }
    // The IPv4 addresses the rendezvous server's invitation named for the remote: hole-punch
    // datagrams of this transaction are believed only from one of them (the port may differ,
    // as a NAT chooses it).
    void addInvitedAddress(const sockaddr_storage& address);
    bool invitationNames(const sockaddr_in& sender) const;

private:
    std::atomic<bool> isOriginator_{true};
    std::atomic<bool> isComplete_{false};
    std::atomic<bool> isWaitingForAcceptance_{false};
    std::atomic<int64_t> transactionId_{0};
    mutable std::mutex mutex_;  // guards the references
    std::shared_ptr<TunnexPeer> peer_;
    std::shared_ptr<TunnexRemotePeer> remotePeer_;
    std::set<uint32_t> invitedAddresses_;  // network order
};

}  // namespace kl

#include "tunnel/peer/TunnexTransaction.h"

#include <random>

#include "tunnel/TunnexGuardedAccessors.h"

namespace kl {

int64_t TunnexTransaction::nextOriginatingTransactionId() {
    // Drawn from the system's entropy rather than the time of day, so that identifiers are not
    // guessable from when the daemon started.
    static std::atomic<int64_t> counter{[] {
        std::random_device device;
        return int64_t(device() & 0x7fffffffu);
    }()};
    return counter.fetch_add(1);
}

void TunnexTransaction::finish() {
    isComplete_.store(true);
    // The remote record holds the punched socket (and its wake descriptor) until housekeeping
    // prunes the transaction; nothing needs either once the attempt is over.
    std::lock_guard lock(mutex_);
    peer_.reset();
    remotePeer_.reset();
}

void TunnexTransaction::addInvitedAddress(const sockaddr_storage& address) {
    if (address.ss_family != AF_INET) return;
    const uint32_t ip = reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr;
    std::lock_guard lock(mutex_);
    invitedAddresses_.insert(ip);
}

bool TunnexTransaction::invitationNames(const sockaddr_in& sender) const {
    if (sender.sin_family != AF_INET) return false;
    std::lock_guard lock(mutex_);
    return invitedAddresses_.count(sender.sin_addr.s_addr) != 0;
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexTransaction, mutex_, std::shared_ptr<TunnexPeer>, peer, setPeer, peer_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexTransaction, mutex_, std::shared_ptr<TunnexRemotePeer>, remotePeer, setRemotePeer,
                            remotePeer_)

}  // namespace kl

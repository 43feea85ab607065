#include "tunnel/TunnexTransaction.h"

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

KL_TUNNEX_GUARDED_ACCESSORS(TunnexTransaction, mutex_, std::shared_ptr<TunnexPeer>, peer, setPeer, peer_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexTransaction, mutex_, std::shared_ptr<TunnexRemotePeer>, remotePeer, setRemotePeer,
                            remotePeer_)

}  // namespace kl

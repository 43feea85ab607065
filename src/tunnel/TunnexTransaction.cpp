#include "tunnel/TunnexTransaction.h"

#include <random>

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

std::shared_ptr<TunnexPeer> TunnexTransaction::peer() const {
    std::lock_guard lock(mutex_);
    return peer_;
}

void TunnexTransaction::setPeer(std::shared_ptr<TunnexPeer> peer) {
    std::lock_guard lock(mutex_);
    peer_ = std::move(peer);
}

std::shared_ptr<TunnexRemotePeer> TunnexTransaction::remotePeer() const {
    std::lock_guard lock(mutex_);
    return remotePeer_;
}

void TunnexTransaction::setRemotePeer(std::shared_ptr<TunnexRemotePeer> remotePeer) {
    std::lock_guard lock(mutex_);
    remotePeer_ = std::move(remotePeer);
}

}  // namespace kl

#include "tunnel/peer/TunnexMainChannelLink.h"

#include <udt/udt.h>

#include <algorithm>

#include "foundation/KLTLogging.h"
#include "platform/Error.h"
#include "tunnel/TunnexGuardedAccessors.h"
#include "tunnel/channel/TunnexSocket.h"

namespace kl {
namespace {

constexpr uint64_t kMaxUdtPayload = 65536;

}  // namespace

void TunnexMainChannelLink::reset() {
    {
        std::lock_guard lock(sendMutex_);
        packetsQueued_ = 0;
    }
    ended_.store(false);
}

TunnexResult<void> TunnexMainChannelLink::send(TunnexSocket& channel, const Bytes& message, double timeout) {
    std::lock_guard lock(sendMutex_);
    Error error;
    const uint64_t sent = channel.sendMessage(message, timeout, &error);
    if (sent == 0) return TunnexError::fromError(error);
    if (sent != message.size()) return TunnexError(TunnexErrorCode::ShortSend, "message sent in part");
    // UDT cuts a message into packets of its payload size, never above 64 KiB.
    packetsQueued_ += std::max<uint64_t>(1, (message.size() + kMaxUdtPayload - 1) / kMaxUdtPayload);
    return {};
}

uint64_t TunnexMainChannelLink::packetsQueued() {
    std::lock_guard lock(sendMutex_);
    return packetsQueued_;
}

bool TunnexMainChannelLink::acknowledged(int udtSocket, uint64_t mark) {
    std::lock_guard lock(sendMutex_);
    // UDT keeps a packet in its send buffer until the remote acknowledges it, in order; read
    // under the send lock, so no packet is added meanwhile. Counted low, the packets queued
    // after mark can only make this answer late, never early.
    int32_t unacknowledged = 0;
    int length = sizeof unacknowledged;
    if (UDT::getsockopt(udtSocket, 0, UDT_SNDDATA, &unacknowledged, &length) == UDT::ERROR) return false;
    return packetsQueued_ >= uint64_t(std::max(0, unacknowledged)) &&
           packetsQueued_ - uint64_t(std::max(0, unacknowledged)) >= mark;
}

std::optional<TunnexMainChannelMessage> TunnexMainChannelLink::nextRead() {
    std::lock_guard lock(readMutex_);
    if (inbox_.empty()) return std::nullopt;
    std::optional<TunnexMainChannelMessage> next = std::move(inbox_.front());
    inbox_.pop_front();
    return next;
}

uint16_t TunnexMainChannelLink::countOpening() {
    std::lock_guard lock(closeMutex_);
    delayedClose_.cancel();
    delayedClose_ = CancelHandle();
    return ++tunnelCount_;
}

void TunnexMainChannelLink::countClosing(bool persists, const std::function<CancelHandle()>& arm) {
    std::lock_guard lock(closeMutex_);
    if (tunnelCount_ > 0) --tunnelCount_;
    KLLog(kKLTLoggingLevelDebug, "Considering close of main channel - tunnel count %d", int(tunnelCount_));
    if (tunnelCount_ != 0 || persists || delayedClose_.valid()) return;
    KLLog(kKLTLoggingLevelInfo, "Queuing close of main channel");
    delayedClose_ = arm();
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexMainChannelLink, closeMutex_, uint16_t, tunnelCount, setTunnelCount, tunnelCount_)

bool TunnexMainChannelLink::closeQueued() const {
    std::lock_guard lock(closeMutex_);
    return delayedClose_.valid() && !delayedClose_.cancelled();
}

}  // namespace kl

// TunnexHolePunch's life, the descriptor limit and the senders of the handshake's datagrams.
#include "tunnel/peer/TunnexHolePunch.h"
#include "tunnel/peer/TunnexContext.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/protocol/TunnexHolePunchCodec.h"
#include "tunnel/peer/TunnexHolePunchSupport.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

std::shared_ptr<TunnexHolePunch> TunnexHolePunch::create(Timing timing, std::weak_ptr<TunnexContext> context) {
    auto layer = std::shared_ptr<TunnexHolePunch>(new TunnexHolePunch(timing, std::move(context)));
    std::weak_ptr<TunnexHolePunch> weak = layer;
    layer->watcher_ = std::make_unique<TunnexConfirmationWatcher>(
        timing.confirmationPolls, timing.confirmationPoll,
        [weak](const std::shared_ptr<TunnexPeer>& peer, const TunnexConfirmationWatcher::Wait& wait,
               const TunnexConfirmationWatcher::Heard& heard) {
            peer->postToQueue([weak, wait, heard](const std::shared_ptr<TunnexPeer>& peer) {
                if (auto self = weak.lock()) self->actOnFreshSocketWord(peer, wait, heard);
            });
        });
    return layer;
}

TunnexHolePunch::TunnexHolePunch(Timing timing, std::weak_ptr<TunnexContext> context)
    : timing_(timing), context_(std::move(context)) {}

std::shared_ptr<TunnexContext> TunnexHolePunch::context() const {
    // Without a context of its own (or once that is gone, for a late sender) the default serves.
    if (auto context = context_.lock()) return context;
    return TunnexContext::processDefault();
}

TunnexHolePunch::~TunnexHolePunch() = default;

void TunnexHolePunch::raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    const rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
        KLLog(kKLTLoggingLevelDebug, "Descriptor limit raised from %llu to %llu", (unsigned long long)previous,
              (unsigned long long)limit.rlim_cur);
    } else {
        KLLog(kKLTLoggingLevelError, "Cannot raise the descriptor limit: %s", std::strerror(errno));
    }
}

size_t TunnexHolePunch::runningConfirmationWaits() { return watcher_->openWaits(); }

// --- senders ---

void TunnexHolePunch::sendLater(const std::shared_ptr<KLNetSocket>& socket, std::vector<uint8_t> bytes,
                                const sockaddr_in& to, const char* failureLine) {
    if (!socket) {
        KLLog(kKLTLoggingLevelError, "%s: no socket", failureLine ? failureLine : "Failed to send");
        return;
    }
    globalQueue().async([socket, bytes = std::move(bytes), to, failureLine] {
        if (!tunnexSendDatagram(*socket, bytes, to) && failureLine) KLLog(kKLTLoggingLevelError, "%s", failureLine);
    });
}

void TunnexHolePunch::helloSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>&,
                                  const sockaddr_in& to, bool originator) {
    sendLater(socket, tunnexWordBytes(tunnexBuildHello(originator)), to, nullptr);
}

void TunnexHolePunch::confirmSocket(const std::shared_ptr<KLNetSocket>& socket,
                                    const std::shared_ptr<TunnexRemotePeer>&, const sockaddr_in& to) {
    KLLog(kKLTLoggingLevelInfo, "Asking for confirmation");
    sendLater(socket, tunnexWordBytes(kTunnexConfirmWord), to, nullptr);
}

void TunnexHolePunch::acceptSocket(const std::shared_ptr<KLNetSocket>& socket,
                                   const std::shared_ptr<TunnexRemotePeer>&, const sockaddr_in& to) {
    KLLog(kKLTLoggingLevelInfo, "Sending confirmation");
    sendLater(socket, tunnexWordBytes(kTunnexAcceptWord), to, nullptr);
}

void TunnexHolePunch::ahoySocket(const std::shared_ptr<KLNetSocket>& socket,
                                 const std::shared_ptr<TunnexTransaction>& transaction) {
    if (!transaction) {
        KLLog(kKLTLoggingLevelError, "Did not send AHOY: transaction is nil");
        return;
    }
    const TunnexAhoy ahoy =
        tunnexBuildAhoy(transaction->transactionId(), tunnexIsOriginatorFor(context(), transaction->transactionId()));
    sendLater(socket, std::vector<uint8_t>(ahoy.begin(), ahoy.end()), tunnexRemoteAddressOf(transaction->remotePeer()),
              "Failed to send Ahoy");
}

void TunnexHolePunch::acknowledgeSocket(const std::shared_ptr<KLNetSocket>& socket,
                                        const std::shared_ptr<TunnexTransaction>& transaction, uint16_t type) {
    KLLog(kKLTLoggingLevelInfo, "Asking for confirmation");
    if (!transaction) {
        KLLog(kKLTLoggingLevelError, "Did not send acknowledgement: transaction is nil");
        return;
    }
    sendLater(socket, tunnexAcknowledgementBytes(context(), transaction->transactionId(), type),
              tunnexRemoteAddressOf(transaction->remotePeer()), "Failed to send acknowledgement");
}

// --- the main channel's share of the layer ---

void TunnexHolePunch::cancelConnection(const std::shared_ptr<TunnexPeer>& peer, uint64_t) {
    // Once per peer; the goodbye on an open main channel belongs to the main-channel protocol.
    if (!peer || peer->cancel()) return;
    peer->setCancel(true);
}

}  // namespace kl

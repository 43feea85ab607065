#include "tunnel/channel/TunnexUDTChannel.h"

#include <udt/udt.h>

#include <chrono>
#include <future>
#include <memory>
#include <utility>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexResult.h"
#include "tunnel/channel/TunnexCongestionControl.h"
#include "tunnel/channel/TunnexSocketManager.h"
#include "tunnel/channel/UdtStartup.h"

namespace kl {

namespace {

TunnexError lastUDTError(const char* call) {
    TunnexError error = TunnexError::lastUDT();
    KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", call, error.udtCode(), error.description().c_str());
    return error;
}

// Makes, binds and sets off the connect of the socket; the connect is under way on success.
TunnexResult<int> startUDTChannelConnect(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                                         TunnexCongestionControl control) {
    udtStartup();
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(udpFd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return TunnexError::udt(kUDTErrorInvalidParameter, "The UDP descriptor is not a bound socket");
    }
    if (local.ss_family != remote.ss_family) {
        return TunnexError::udt(kUDTErrorInvalidParameter, "The remote address is of another family");
    }
    int family = local.ss_family;
    UDTSOCKET u = UDT::socket(family, mode == TunnexChannelMode::Message ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (u == UDT::INVALID_SOCK) return lastUDTError("UDT::socket");

    bool yes = true;
    if (UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes) == UDT::ERROR ||
        UDT::setsockopt(u, 0, UDT_REUSEADDR, &yes, sizeof yes) == UDT::ERROR) {
        TunnexError error = lastUDTError("UDT::setsockopt");
        UDT::close(u);
        return error;
    }
    // Sender side only, so it needs no agreement with the peer; a refusal leaves UDT's own. The main
    // channel's few small messages keep UDT's own, and with it UDT's detection of a dead peer,
    // on which the tunnel's teardown (and so that of its data channels) rests.
    applyTunnexCongestionControl(u, mode == TunnexChannelMode::Stream ? control : TunnexCongestionControl::Native);
    if (UDT::bind2(u, udpFd) == UDT::ERROR) {
        TunnexError error = lastUDTError("UDT::bind2");
        UDT::close(u);
        return error;
    }
    // UDT's waiting connect gives up at the first datagram from the peer's address that is not a
    // handshake (a late hole-punch datagram) and then returns success without a connection. So the
    // connect runs in the background, where such datagrams are ignored, and this waits for the
    // connected state.
    bool no = false;
    if (UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof no) == UDT::ERROR) {
        TunnexError error = lastUDTError("UDT::setsockopt");
        UDT::close(u);
        return error;
    }
    int remoteLength = family == AF_INET6 ? int(sizeof(sockaddr_in6)) : int(sizeof(sockaddr_in));
    if (UDT::connect(u, reinterpret_cast<const sockaddr*>(&remote), remoteLength) == UDT::ERROR) {
        TunnexError error = lastUDTError("UDT::connect");
        UDT::close(u);
        return error;
    }
    return int(u);
}

}  // namespace

void openUDTChannelAsync(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                         TunnexChannelCompletion completion, std::chrono::milliseconds limit,
                         TunnexCongestionControl control) {
    TunnexResult<int> started = startUDTChannelConnect(udpFd, remote, mode, control);
    if (!started.ok()) {
        completion(started.error());
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TunnexSocketManager::sharedInstance().watchConnect(
        started.value(), deadline, [u = started.value(), completion = std::move(completion)](TunnexResult<int> outcome) {
            if (!outcome.ok()) {
                UDT::close(u);
                completion(std::move(outcome));
                return;
            }
            bool yes = true;
            if (UDT::setsockopt(u, 0, UDT_RCVSYN, &yes, sizeof yes) == UDT::ERROR) {
                TunnexError error = lastUDTError("UDT::setsockopt");
                UDT::close(u);
                completion(error);
                return;
            }
            completion(int(u));
        });
}

TunnexResult<int> openUDTChannel(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                                 std::chrono::milliseconds limit, TunnexCongestionControl control) {
    if (TunnexSocketManager::sharedInstance().isLoopThread()) {
        KLLog(kKLTLoggingLevelError, "A waiting channel connect on the socket poll thread would wait for itself");
        return TunnexError::udt(kUDTErrorInvalidParameter, "A channel connect cannot be waited for here");
    }
    // Shared with the completion, which may still be leaving set_value() when this returns.
    auto outcome = std::make_shared<std::promise<TunnexResult<int>>>();
    auto future = outcome->get_future();
    openUDTChannelAsync(
        udpFd, remote, mode, [outcome](TunnexResult<int> result) { outcome->set_value(std::move(result)); }, limit,
        control);
    return future.get();
}

}  // namespace kl

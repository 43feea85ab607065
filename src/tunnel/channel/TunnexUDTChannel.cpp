#include "tunnel/channel/TunnexUDTChannel.h"

#include <udt/udt.h>

#include <chrono>
#include <thread>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/channel/TunnexCongestionControl.h"
#include "tunnel/channel/UdtStartup.h"

namespace kl {

namespace {

// How often the progress of a connect is looked at.
constexpr std::chrono::milliseconds kConnectCheckInterval{5};

Error lastUDTError(const char* call) {
    Error error = errorFromUDTErrorInfo(UDT::getlasterror());
    KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", call, int(error.code()), error.description().c_str());
    return error;
}

}  // namespace

Result<int> openUDTChannel(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode,
                           std::chrono::milliseconds limit, TunnexCongestionControl control) {
    udtStartup();
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(udpFd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return Error::withDescription(tunnexUDTErrorDomain, 5003, "The UDP descriptor is not a bound socket");
    }
    if (local.ss_family != remote.ss_family) {
        return Error::withDescription(tunnexUDTErrorDomain, 5003, "The remote address is of another family");
    }
    int family = local.ss_family;
    UDTSOCKET u = UDT::socket(family, mode == TunnexChannelMode::Message ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (u == UDT::INVALID_SOCK) return lastUDTError("UDT::socket");

    bool yes = true;
    if (UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes) == UDT::ERROR ||
        UDT::setsockopt(u, 0, UDT_REUSEADDR, &yes, sizeof yes) == UDT::ERROR) {
        Error error = lastUDTError("UDT::setsockopt");
        UDT::close(u);
        return error;
    }
    // Sender side only, so it needs no agreement with the peer; a refusal leaves UDT's own. The main
    // channel's few small messages keep UDT's own, and with it UDT's detection of a dead peer,
    // on which the tunnel's teardown (and so that of its data channels) rests.
    applyTunnexCongestionControl(u, mode == TunnexChannelMode::Stream ? control : TunnexCongestionControl::Native);
    if (UDT::bind2(u, udpFd) == UDT::ERROR) {
        Error error = lastUDTError("UDT::bind2");
        UDT::close(u);
        return error;
    }
    // UDT's waiting connect gives up at the first datagram from the peer's address that is not a
    // handshake (a late hole-punch datagram) and then returns success without a connection. So the
    // connect runs in the background, where such datagrams are ignored, and this waits for the
    // connected state.
    bool no = false;
    if (UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof no) == UDT::ERROR) {
        Error error = lastUDTError("UDT::setsockopt");
        UDT::close(u);
        return error;
    }
    int remoteLength = family == AF_INET6 ? int(sizeof(sockaddr_in6)) : int(sizeof(sockaddr_in));
    if (UDT::connect(u, reinterpret_cast<const sockaddr*>(&remote), remoteLength) == UDT::ERROR) {
        Error error = lastUDTError("UDT::connect");
        UDT::close(u);
        return error;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (UDTSTATUS state = UDT::getsockstate(u); state != CONNECTED; state = UDT::getsockstate(u)) {
        if (state != CONNECTING && state != OPENED) {
            UDT::close(u);
            return Error::withDescription(tunnexUDTErrorDomain, 2001, "Connection was broken.");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            UDT::close(u);
            return Error::withDescription(tunnexUDTErrorDomain, 1001, "Connection setup failure: connection time out.");
        }
        std::this_thread::sleep_for(kConnectCheckInterval);
    }
    if (UDT::setsockopt(u, 0, UDT_RCVSYN, &yes, sizeof yes) == UDT::ERROR) {
        Error error = lastUDTError("UDT::setsockopt");
        UDT::close(u);
        return error;
    }
    return int(u);
}

}  // namespace kl

#include "tunnel/TunnexUDTChannel.h"

#include <udt/udt.h>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/UdtStartup.h"

namespace kl {

namespace {

Error lastUDTError(const char* call) {
    Error error = errorFromUDTErrorInfo(UDT::getlasterror());
    KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", call, int(error.code()), error.description().c_str());
    return error;
}

}  // namespace

Result<int> openUDTChannel(int udpFd, const sockaddr_storage& remote, TunnexChannelMode mode) {
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
    if (UDT::bind2(u, udpFd) == UDT::ERROR) {
        Error error = lastUDTError("UDT::bind2");
        UDT::close(u);
        return error;
    }
    int remoteLength = family == AF_INET6 ? int(sizeof(sockaddr_in6)) : int(sizeof(sockaddr_in));
    if (UDT::connect(u, reinterpret_cast<const sockaddr*>(&remote), remoteLength) == UDT::ERROR) {
        Error error = lastUDTError("UDT::connect");
        UDT::close(u);
        return error;
    }
    return int(u);
}

}  // namespace kl

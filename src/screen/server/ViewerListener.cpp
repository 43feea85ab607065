#include "screen/server/ViewerListener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/KLNetSocketAddress.h"
#include "foundation/KLTLogging.h"
#include "screen/server/LoopbackPeerOwner.h"

namespace kl {
namespace {

int bindLoopback(int family, uint16_t port) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    socklen_t length;
    sockaddr_storage address = loopbackSocketAddress(family, port, length);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0) {
        KLLog(kKLTLoggingLevelError, "ScreenServer: cannot listen on loopback port %u (family %d): errno %d",
              unsigned(port), family, errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return socketAddressPort(address);
}

}  // namespace

ViewerListener::ViewerListener(uid_t sessionUser, AcceptHandler handler)
    : sessionUser_(sessionUser), handler_(std::move(handler)) {}

ViewerListener::~ViewerListener() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
    }
    for (int fd : {listeners_[0], listeners_[1], wake_})
        if (fd >= 0) ::close(fd);
}

bool ViewerListener::start(uint16_t port) {
    if (thread_.joinable()) return false;
    listeners_[0] = bindLoopback(AF_INET, port);
    uint16_t chosen = listeners_[0] >= 0 ? boundPort(listeners_[0]) : port;
    listeners_[1] = bindLoopback(AF_INET6, chosen);
    if (listeners_[0] < 0 && listeners_[1] < 0) return false;
    port_ = listeners_[0] >= 0 ? chosen : boundPort(listeners_[1]);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ViewerListener::run() {
    for (;;) {
        pollfd fds[3] = {{wake_, POLLIN, 0}, {listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            KLLog(kKLTLoggingLevelError, "ScreenServer: accept loop ends: errno %d", errno);
            return;
        }
        if (fds[0].revents) return;
        for (int i = 1; i < 3; ++i)
            if (fds[i].revents & POLLIN) acceptFrom(fds[i].fd);
    }
}

void ViewerListener::acceptFrom(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto owner = loopbackPeerOwner(fd);
    if (!owner || !isPermittedViewerOwner(*owner, sessionUser_)) {
        KLLog(kKLTLoggingLevelError, "ScreenServer: refused a viewer connection from user %d",
              owner ? int(*owner) : -1);
        ::close(fd);
        return;
    }
    // Each update is a burst of whole records answered by the viewer's next request: without
    // TCP_NODELAY the last record of a burst waits for the viewer's delayed acknowledgement,
    // which halves the update rate and adds tens of milliseconds to every change.
    KLNetSocket::setTCPNoDelayOnSocket(fd, true);
    auto socket = KLNetSocket::initWithSocket(fd);
    if (!socket) {
        ::close(fd);
        return;
    }
    handler_(std::move(socket));
}

}  // namespace kl

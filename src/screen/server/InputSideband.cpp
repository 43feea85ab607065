#include "screen/server/InputSideband.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/KLNetSocketAddress.h"
#include "foundation/KLTLogging.h"

namespace kl {

std::unique_ptr<InputSideband> InputSideband::open(const sockaddr_storage& local, uint16_t port, Handler handler) {
    if (local.ss_family != AF_INET && local.ss_family != AF_INET6) return nullptr;
    sockaddr_storage address = local;
    setSocketAddressPort(address, port);
    socklen_t length = socketAddressLength(address);
    int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // No SO_REUSEADDR: another program bound to the same port could then read the viewer's input.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        KLLog(kKLTLoggingLevelError, "ScreenServer: cannot bind the input sideband on port %u: %s", unsigned(port),
              std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    int wake = ::eventfd(0, EFD_CLOEXEC);
    if (wake < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InputSideband>(new InputSideband(fd, wake, socketAddressPort(bound), std::move(handler)));
}

InputSideband::InputSideband(int fd, int wake, uint16_t port, Handler handler)
    : fd_(fd), wake_(wake), port_(port), handler_(std::move(handler)) {
    reader_ = std::thread([this] { run(); });
}

InputSideband::~InputSideband() {
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
    ::close(wake_);
}

void InputSideband::run() {
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        if (!(fds[1].revents & POLLIN)) continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            KLLog(kKLTLoggingLevelError, "ScreenServer: input sideband read failed: %s", std::strerror(errno));
            return;
        }
        if (handler_) handler_(std::span<const uint8_t>(buffer.data(), size_t(n)), from, fromLength);
    }
}

}  // namespace kl

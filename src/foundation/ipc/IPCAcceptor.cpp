#include "foundation/ipc/IPCAcceptor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl::ipc {

struct IPCAcceptor::State {
    State(ListeningSocket s, AcceptedCallback cb) : socket(std::move(s)), accepted(std::move(cb)) {
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~State() {
        socket.close();
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void run() {
        int pauseMs = -1;  // set after running out of descriptors
        while (!stopping.load()) {
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {socket.fd(), POLLIN, 0}};
            // Out of descriptors the pending connection stays readable; wait a little instead of
            // spinning on it.
            int count = ::poll(fds, pauseMs < 0 ? 2 : 1, pauseMs);
            pauseMs = -1;
            if (count < 0 && errno != EINTR) {
                KLLog(kKLTLoggingLevelError, "klipc: poll on the listening socket failed: %s", std::strerror(errno));
                return;
            }
            if (fds[0].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
            }
            if (stopping.load()) return;
            if (!(fds[1].revents & POLLIN)) continue;
            for (;;) {
                int fd = ::accept4(socket.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        KLLog(kKLTLoggingLevelError, "klipc: cannot accept a connection: %s", std::strerror(errno));
                        pauseMs = 100;
                    }
                    break;  // EAGAIN, or a connection that was aborted before we got to it
                }
                auto peer = peerCredentials(fd);
                if (!peer || stopping.load()) {
                    ::close(fd);
                    continue;
                }
                accepted(fd, *peer);
            }
        }
    }

    ListeningSocket socket;
    AcceptedCallback accepted;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
};

IPCAcceptor::IPCAcceptor(ListeningSocket socket, AcceptedCallback accepted)
    : state_(std::make_shared<State>(std::move(socket), std::move(accepted))) {
    thread_ = std::thread([state = state_] { state->run(); });
}

IPCAcceptor::~IPCAcceptor() { stop(); }

void IPCAcceptor::stop() {
    std::lock_guard lock(stopMutex_);
    state_->stopping.store(true);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(state_->wakeFd, &one, sizeof one);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the state, and with it the socket, goes when the thread ends
        return;
    }
    thread_.join();
    state_->socket.close();
}

}  // namespace kl::ipc

// Internal to KLNetSocket: the registration of one system call on the socket's descriptor. While
// any use is alive the descriptor stays open; close() waits for the uses to end after waking them.
#pragma once

#include "foundation/KLNetSocket.h"

namespace kl {

class KLNetSocket::DescriptorUse {
public:
    // requireDescriptor false: the call works on a descriptor of its own and only needs to be
    // woken by close().
    explicit DescriptorUse(KLNetSocket& socket, bool requireDescriptor = true) : socket_(socket) {
        std::lock_guard lock(socket.mutex_);
        if (socket.closing_ || (requireDescriptor && socket.fd_ < 0)) return;
        ++socket.users_;
        fd_ = socket.fd_;
        ok_ = true;
    }
    ~DescriptorUse() {
        if (!ok_) return;
        std::lock_guard lock(socket_.mutex_);
        if (--socket_.users_ == 0) socket_.usersDone_.notify_all();
    }
    DescriptorUse(const DescriptorUse&) = delete;
    DescriptorUse& operator=(const DescriptorUse&) = delete;

    explicit operator bool() const { return ok_; }
    int fd() const { return fd_; }

private:
    KLNetSocket& socket_;
    int fd_ = -1;
    bool ok_ = false;
};

// What a loop thread checks after dropping its reference to the socket: set when the socket was
// destroyed on that very thread, after which the loop must not touch it.
struct KLNetSocket::LoopControl {
    std::atomic<bool> ownerGone{false};
};

}  // namespace kl

// Helpers of the hole-punch tests: a private network namespace for the test process's main thread
// (the punch sprays datagrams at random ports, which must not reach other tests' sockets), a
// scripted remote on a plain UDP socket, and counts of the process's open descriptors and threads.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/Value.h"

namespace kl::test {

// Moves the calling thread (and the threads it starts from now on) into a new network namespace
// with its loopback interface up. Sockets made on those threads live there; threads started
// earlier keep the old namespace but only use descriptors handed to them. False without the
// privilege (tests then skip).
inline bool enterPrivateNetworkNamespace() {
    static const bool entered = [] {
        if (::unshare(CLONE_NEWNET) != 0) return false;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags |= IFF_UP;
        up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        ::close(fd);
        return up;
    }();
    return entered;
}

inline size_t entriesIn(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}
inline size_t openDescriptorCount() { return entriesIn("/proc/self/fd"); }
inline size_t threadCount() { return entriesIn("/proc/self/task"); }

// The other side of a punch, scripted by the test: a UDP socket on a loopback address (127.0.0.1
// unless given; any of 127/8 serves).
class ScriptedRemote {
public:
    struct Datagram {
        Bytes bytes;
        sockaddr_in from{};
        uint16_t port() const { return ntohs(from.sin_port); }
    };

    explicit ScriptedRemote(in_addr_t host = INADDR_LOOPBACK) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(host);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof address_;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    ~ScriptedRemote() {
        if (fd_ >= 0) ::close(fd_);
    }
    ScriptedRemote(const ScriptedRemote&) = delete;
    ScriptedRemote& operator=(const ScriptedRemote&) = delete;

    int fd() const { return fd_; }
    // Hands the descriptor over (to UDT); this object no longer closes it.
    int release() { return std::exchange(fd_, -1); }
    sockaddr_storage address() const {
        sockaddr_storage storage{};
        std::memcpy(&storage, &address_, sizeof address_);
        return storage;
    }

    std::optional<Datagram> receive(std::chrono::milliseconds timeout) {
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, int(timeout.count())) <= 0) return std::nullopt;
        Datagram datagram;
        datagram.bytes.resize(65536);
        socklen_t length = sizeof datagram.from;
        const ssize_t received = ::recvfrom(fd_, datagram.bytes.data(), datagram.bytes.size(), 0,
                                            reinterpret_cast<sockaddr*>(&datagram.from), &length);
        if (received < 0) return std::nullopt;
        datagram.bytes.resize(size_t(received));
        return datagram;
    }
    // The first datagram for which match is true within timeout; others are dropped.
    template <class Match>
    std::optional<Datagram> receiveMatching(Match match, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto datagram = receive(std::max(left, std::chrono::milliseconds(1)));
            if (datagram && match(*datagram)) return datagram;
        }
        return std::nullopt;
    }
    void send(const Bytes& bytes, const sockaddr_in& to) {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    sockaddr_in address_{};
};

}  // namespace kl::test

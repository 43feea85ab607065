// Plain UDP readers standing for the RTP path's receivers: one RTP and one RTCP socket on each
// of the loopback addresses given, all on one port pair, each datagram parsed as RTP (or kept as
// RTCP) by the test's own reading of the RTP header.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnvironment.h"

namespace kl::test {

struct RTPPacket {
    int version = 0;
    bool marker = false;
    int payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    std::vector<uint8_t> payload;
};

inline bool parseRTP(const uint8_t* data, size_t length, RTPPacket& packet) {
    if (length < 12) return false;
    packet.version = data[0] >> 6;
    const size_t csrc = data[0] & 0x0F;
    const bool extension = data[0] & 0x10;
    packet.marker = data[1] & 0x80;
    packet.payloadType = data[1] & 0x7F;
    packet.sequence = uint16_t(data[2] << 8 | data[3]);
    packet.timestamp = uint32_t(data[4]) << 24 | uint32_t(data[5]) << 16 | uint32_t(data[6]) << 8 | data[7];
    size_t offset = 12 + 4 * csrc;
    if (extension) {
        if (length < offset + 4) return false;
        offset += 4 + 4 * size_t(data[offset + 2] << 8 | data[offset + 3]);
    }
    if (length < offset) return false;
    packet.payload.assign(data + offset, data + length);
    return true;
}

class RTPTestReceiver {
public:
    // Binds RTP and RTCP sockets on every address, on one free even port pair.
    explicit RTPTestReceiver(std::vector<uint32_t> hosts) : hosts_(std::move(hosts)) {
        for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
            uint16_t candidate = freeEvenPort();
            std::vector<int> fds;
            bool ok = candidate != 0;
            for (uint32_t host : hosts_)
                for (int k = 0; k < 2 && ok; ++k) {
                    int fd = bindUDP(host, uint16_t(candidate + k));
                    if (fd < 0) ok = false; else fds.push_back(fd);
                }
            if (ok) {
                port_ = candidate;
                fds_ = fds;
            } else {
                for (int fd : fds) ::close(fd);
            }
        }
        if (port_) thread_ = std::thread([this] { run(); });
    }
    ~RTPTestReceiver() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : fds_) ::close(fd);
    }
    uint16_t port() const { return port_; }

    // RTP packets received on the address of index i, in arrival order.
    std::vector<RTPPacket> packets(size_t i) {
        std::lock_guard lock(mutex_);
        return i < rtp_.size() ? rtp_[i] : std::vector<RTPPacket>{};
    }
    // Every RTCP datagram of the address of index i.
    std::vector<std::vector<uint8_t>> rtcp(size_t i) {
        std::lock_guard lock(mutex_);
        return i < rtcp_.size() ? rtcp_[i] : std::vector<std::vector<uint8_t>>{};
    }
    bool waitForPackets(size_t i, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([&] { return packets(i).size() >= count; }, timeout);
    }

private:
    static int bindUDP(uint32_t host, uint16_t port) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(host);
        address.sin_port = htons(port);
        int size = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    static uint16_t freeEvenPort() {
        int fd = bindUDP(0x7F000001, 0);
        if (fd < 0) return 0;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        uint16_t port = ntohs(address.sin_port) & 0xFFFE;
        return port >= 1024 && port < 65534 ? port : 0;
    }
    void run() {
        {
            std::lock_guard lock(mutex_);
            rtp_.resize(hosts_.size());
            rtcp_.resize(hosts_.size());
        }
        std::vector<pollfd> polls;
        for (int fd : fds_) polls.push_back({fd, POLLIN, 0});
        std::vector<uint8_t> buffer(65536);
        while (!stop_) {
            if (::poll(polls.data(), polls.size(), 50) <= 0) continue;
            for (size_t k = 0; k < polls.size(); ++k) {
                if (!(polls[k].revents & POLLIN)) continue;
                ssize_t n = ::recv(polls[k].fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) continue;
                std::lock_guard lock(mutex_);
                if (k % 2 == 1) {
                    rtcp_[k / 2].emplace_back(buffer.begin(), buffer.begin() + n);
                    continue;
                }
                RTPPacket packet;
                if (parseRTP(buffer.data(), size_t(n), packet)) rtp_[k / 2].push_back(std::move(packet));
            }
        }
    }

    std::vector<uint32_t> hosts_;
    uint16_t port_ = 0;
    std::vector<int> fds_;  // RTP, RTCP for each host in turn
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::vector<RTPPacket>> rtp_;
    std::vector<std::vector<std::vector<uint8_t>>> rtcp_;
    std::thread thread_;
};

// The reason of the first RTCP BYE in a compound datagram; empty when there is none.
inline std::string rtcpByeReason(const std::vector<uint8_t>& datagram) {
    size_t offset = 0;
    while (offset + 4 <= datagram.size()) {
        const size_t count = datagram[offset] & 0x1F;
        const int type = datagram[offset + 1];
        const size_t length = (size_t(datagram[offset + 2]) << 8 | datagram[offset + 3]) * 4 + 4;
        if (offset + length > datagram.size()) break;
        if (type == 203) {
            const size_t reason = offset + 4 + 4 * count;
            if (reason < offset + length) {
                const size_t n = datagram[reason];
                if (reason + 1 + n <= offset + length)
                    return std::string(datagram.begin() + long(reason + 1), datagram.begin() + long(reason + 1 + n));
            }
            return {};
        }
        offset += length;
    }
    return {};
}

inline constexpr uint32_t kLoopback1 = 0x7F000001, kLoopback2 = 0x7F000002;

}  // namespace kl::test

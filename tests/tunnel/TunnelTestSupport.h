// Small helpers shared by the tunnel tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Value.h"
#include "tunnel/TunnexClock.h"

namespace kl::test {

// An IPv4 socket address with the port in network order, as the tunnel stores them.
inline sockaddr_storage ipv4Address(const char* dotted, uint16_t port) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(port);
    inet_pton(AF_INET, dotted, &ipv4->sin_addr);
    return storage;
}

// A clock that stands still until the test moves it.
class ManualClock {
public:
    explicit ManualClock(double start = 1'700'000'000.0) : now_(std::make_shared<std::atomic<double>>(start)) {}
    TunnexClock clock() const {
        return [now = now_] { return Date{now->load()}; };
    }
    void set(double seconds) { now_->store(seconds); }
    void advance(double seconds) { now_->store(now_->load() + seconds); }
    double now() const { return now_->load(); }

private:
    std::shared_ptr<std::atomic<double>> now_;
};

inline Bytes bytesFromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace kl::test

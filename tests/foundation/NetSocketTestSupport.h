// Shared pieces of the KLNetSocket tests: a delegate that records what it is told, and a connected
// loopback pair made through a real listener.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/KLNetSocket.h"
#include "support/TestEnvironment.h"

namespace kl::test {

class RecordingDelegate : public KLNetSocketDelegate {
public:
    void acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket) override {
        std::lock_guard lock(mutex);
        accepted.push_back(std::move(socket));
    }
    void willBeginListeningForDatagramsOnSocket(KLNetSocket& socket) override { began = true; }
    void datagramReceivedForSocketFromAddress(KLNetSocket& socket, const KLNetDatagram& data, const sockaddr* from,
                                              socklen_t fromLength) override {
        std::lock_guard lock(mutex);
        datagrams.emplace_back(data.bytes.begin(), data.bytes.end());
        if (data.copy) copies.push_back(data.copy);
        sockaddr_storage sender{};
        std::memcpy(&sender, from, std::min<size_t>(fromLength, sizeof sender));
        senders.push_back(sender);
        if (onDatagram) onDatagram(socket);
    }
    bool shouldContinueToReceiveDatagramsOnSocket(KLNetSocket& socket, bool& shouldClose) override {
        ++passes;
        std::lock_guard lock(mutex);
        shouldClose = closeWhenDone;
        return keepReceiving;
    }
    void socketIsExperiencingLatency(float fraction) override {
        std::lock_guard lock(mutex);
        latency.push_back(fraction);
    }

    size_t datagramCount() {
        std::lock_guard lock(mutex);
        return datagrams.size();
    }
    size_t latencyCount() {
        std::lock_guard lock(mutex);
        return latency.size();
    }
    std::shared_ptr<KLNetSocket> takeAccepted() {
        std::lock_guard lock(mutex);
        if (accepted.empty()) return nullptr;
        auto first = accepted.front();
        accepted.erase(accepted.begin());
        return first;
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<KLNetSocket>> accepted;
    std::vector<Bytes> datagrams;
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> copies;
    std::vector<sockaddr_storage> senders;
    std::vector<float> latency;
    std::function<void(KLNetSocket&)> onDatagram;
    bool keepReceiving = true;
    bool closeWhenDone = true;
    std::atomic<bool> began{false};
    std::atomic<int> passes{0};
};

inline sockaddr_storage ipv4Address(const char* text, uint16_t port) {
    sockaddr_storage address{};
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_port = htons(port);
    ::inet_pton(AF_INET, text, &in4.sin_addr);
    return address;
}

inline sockaddr_storage ipv6Address(const char* text, uint16_t port) {
    sockaddr_storage address{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    ::inet_pton(AF_INET6, text, &in6.sin6_addr);
    return address;
}

// True when this host has the IPv6 loopback address (containers may run without IPv6).
inline bool hasIPv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_storage loopback = ipv6Address("::1", 0);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&loopback), sizeof(sockaddr_in6)) == 0;
    ::close(fd);
    return ok;
}

// A listener on an ephemeral port, a client connected to it over 127.0.0.1, and the accepted end.
struct LoopbackPair {
    std::shared_ptr<RecordingDelegate> listenerDelegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<KLNetSocket> listener = KLNetSocket::init();
    std::shared_ptr<KLNetSocket> client = KLNetSocket::init();
    std::shared_ptr<KLNetSocket> server;

    explicit LoopbackPair(const KLNetSocket::Timing& timing = {}) {
        listener->setTiming(timing);
        client->setTiming(timing);
        if (!listener->listenOnPort(0, listenerDelegate)) return;
        if (!client->connectToHost("127.0.0.1", listener->localPort())) return;
        waitFor([&] { return (server = listenerDelegate->takeAccepted()) != nullptr; });
    }
    bool ok() const { return server != nullptr; }
};

}  // namespace kl::test

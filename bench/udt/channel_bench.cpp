// Throughput of one bridged data channel (TCP in, pack, encrypt pass-through, UDT, bridge, TCP
// out) against a bare UDT stream pair, measured side by side over loopback in one run. Each end
// of a run is a process of its own, as two peers are.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KLTLogging.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/channel/UdtStartup.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

using namespace kl;

namespace {

constexpr size_t kVolume = 64u << 20;
constexpr size_t kChunk = 1u << 20;

int boundUdp(sockaddr_storage* address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::memset(address, 0, sizeof *address);
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(address);
    ipv4->sin_family = AF_INET;
    ipv4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(address), sizeof(sockaddr_in));
    socklen_t length = sizeof *address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &length);
    return fd;
}

// Both ends of every run's tunnel, made before the fork: the receiving end runs in a child
// process, as the remote peer would, so the two ends do not share one socket core.
struct RunSockets {
    int fdA = -1, fdB = -1;
    sockaddr_storage addressA{}, addressB{};
};

int openChannel(int fd, const sockaddr_storage& remote) {
    Result<int> channel = openUDTChannel(fd, remote, TunnexChannelMode::Stream);
    if (!channel.ok()) {
        std::fprintf(stderr, "UDT connect failed\n");
        std::exit(1);
    }
    return channel.value();
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void bareSender(int u) {
    std::vector<char> out(kChunk, 'x');
    for (size_t sent = 0; sent < kVolume;) {
        int n = UDT::send(u, out.data(), int(std::min(kChunk, kVolume - sent)), 0);
        if (n <= 0) break;
        sent += size_t(n);
    }
}

size_t bareReceiver(int u) {
    std::vector<char> in(kChunk);
    size_t received = 0;
    while (received < kVolume) {
        int n = UDT::recv(u, in.data(), int(kChunk), 0);
        if (n <= 0) break;
        received += size_t(n);
    }
    return received;
}

// What the port-forward record does with a bridged connection's reads.
class Forward : public Plug {
public:
    explicit Forward(std::shared_ptr<TunnexSocketImpl> channel) : channel_(std::move(channel)) {}
    int receive(int, const char* data, int len) override {
        std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data), size_t(len));
        channel_->sendOperationQueue().addOperationAndWait([&] { channel_->sendBytes(bytes); });
        return 1;
    }
    int closing(const char*, int, int) override { return 1; }

private:
    std::shared_ptr<TunnexSocketImpl> channel_;
};

std::pair<int, int> tcpPair() {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    int outer = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(outer, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int inner = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return {outer, inner};
}

SocketPtr registered(int fd, const PlugPtr& plug) {
    SocketCoreLock lock;
    return sk_register(fd, plug);
}

// The end that a local client writes into.
void bridgedSender(int u) {
    auto channel = TunnexSocketImpl::create(u);
    auto [source, inner] = tcpPair();
    auto plug = std::make_shared<Forward>(channel);
    channel->bridgeToFrozenSocket(registered(inner, plug));
    std::vector<char> out(kChunk, 'x');
    for (size_t sent = 0; sent < kVolume;) {
        ssize_t n = ::send(source, out.data(), std::min(kChunk, kVolume - sent), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    // Stay until the far end has everything: closing earlier would cut what is still queued.
    ::pause();
}

// The end whose local service reads.
size_t bridgedReceiver(int u) {
    auto channel = TunnexSocketImpl::create(u);
    auto [sink, inner] = tcpPair();
    auto plug = std::make_shared<Forward>(channel);
    channel->bridgeToFrozenSocket(registered(inner, plug));
    std::vector<char> in(kChunk);
    size_t received = 0;
    while (received < kVolume) {
        pollfd pfd{sink, POLLIN, 0};
        if (::poll(&pfd, 1, 30000) != 1) break;
        ssize_t n = ::recv(sink, in.data(), kChunk, 0);
        if (n <= 0) break;
        received += size_t(n);
    }
    channel->close();
    ::close(sink);
    return received;
}

// One run: the receiving end in a child process reports its count through a pipe; the sending
// end runs in another child, so every run starts from fresh UDT and socket-core state. Returns MB/s.
double measure(bool bridged) {
    RunSockets run;
    run.fdA = boundUdp(&run.addressA);
    run.fdB = boundUdp(&run.addressB);
    int report[2];
    if (::pipe(report) != 0) std::exit(1);
    auto start = std::chrono::steady_clock::now();
    pid_t receiver = ::fork();
    if (receiver == 0) {
        udtStartup();
        sk_init();
        int u = openChannel(run.fdB, run.addressA);
        size_t received = bridged ? bridgedReceiver(u) : bareReceiver(u);
        ssize_t written = ::write(report[1], &received, sizeof received);
        std::_Exit(written == sizeof received ? 0 : 1);
    }
    pid_t sender = ::fork();
    if (sender == 0) {
        udtStartup();
        sk_init();
        int u = openChannel(run.fdA, run.addressB);
        if (bridged) bridgedSender(u);
        bareSender(u);
        ::pause();
        std::_Exit(0);
    }
    size_t received = 0;
    ssize_t got = ::read(report[0], &received, sizeof received);
    double elapsed = seconds(start);
    ::kill(sender, SIGKILL);
    ::waitpid(sender, nullptr, 0);
    ::waitpid(receiver, nullptr, 0);
    for (int fd : {report[0], report[1], run.fdA, run.fdB}) ::close(fd);
    if (got != sizeof received || received < kVolume) {
        std::fprintf(stderr, "%s run ended after %zu bytes\n", bridged ? "bridged" : "bare", received);
    }
    return double(received) / elapsed / 1e6;
}

}  // namespace

int main() {
    setLogSink(LogSink::StandardError);
    setLoggingLevel(kKLTLoggingLevelError);
    std::printf("one data channel vs bare UDT stream, %zu MiB over loopback per run\n", kVolume >> 20);
    // UDT over loopback varies a lot from run to run, so runs alternate and medians are compared.
    constexpr int kRuns = 7;
    std::vector<double> bare, channel;
    for (int run = 0; run < kRuns; ++run) {
        bare.push_back(measure(false));
        channel.push_back(measure(true));
        std::printf("run %d: bare UDT %.1f MB/s, bridged channel %.1f MB/s\n", run + 1, bare.back(), channel.back());
    }
    std::sort(bare.begin(), bare.end());
    std::sort(channel.begin(), channel.end());
    double bareMedian = bare[kRuns / 2], channelMedian = channel[kRuns / 2];
    std::printf("median: bare UDT %.1f MB/s, bridged channel %.1f MB/s, ratio %.2f (goal >= 0.90)\n", bareMedian,
                channelMedian, channelMedian / bareMedian);
    return 0;
}

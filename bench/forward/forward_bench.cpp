// A TCP connection forwarded through the whole encrypted tunnel (client, forward listener, data
// channel, answering side, server) against a bare UDT stream pair, measured side by side over
// loopback in one run (throughput, and the CPU per GB of the whole process during each); and the
// round-trip time that the forward adds to small messages. Both peers run in this one process,
// joined by a UDT main channel as two punched peers are.
// KL_BENCH_PLAIN=1 runs the tunnel without encryption; KL_BENCH_DEBUG=1 logs at debug level (to
// standard error, where errors always go).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexUDTChannel.h"

using namespace kl;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kVolume = 64u << 20;
constexpr size_t kChunk = 256u << 10;
constexpr int kRoundTrips = 500;
constexpr size_t kSmall = 64;
constexpr int kOpenings = 20;
constexpr int kParallel = 10;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "forward_bench: %s\n", what);
    std::exit(1);
}

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

std::pair<int, int> udtPair(int fdA, const sockaddr_storage& a, int fdB, const sockaddr_storage& b,
                            TunnexChannelMode mode) {
    auto sideB = std::async(std::launch::async, [&] { return openUDTChannel(fdB, a, mode); });
    Result<int> first = openUDTChannel(fdA, b, mode);
    Result<int> second = sideB.get();
    if (!first.ok() || !second.ok()) fail("UDT connect failed");
    return {first.value(), second.value()};
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds of the whole process (every thread: both peers, UDT's threads, the clients).
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto of = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return of(usage.ru_utime) + of(usage.ru_stime);
}

// One transfer's rate and the process's CPU seconds per GB moved during it.
struct Transfer {
    double mbps = 0, cpuPerGB = 0;
};

Transfer bareUdt() {
    sockaddr_storage a{}, b{};
    int fdA = boundUdp(&a), fdB = boundUdp(&b);
    auto [sender, receiver] = udtPair(fdA, a, fdB, b, TunnexChannelMode::Stream);
    std::vector<char> buffer(kChunk, 'u');
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    std::thread reader([&, receiver = receiver] {
        std::vector<char> in(kChunk);
        size_t got = 0;
        while (got < kVolume) {
            int r = UDT::recv(receiver, in.data(), int(in.size()), 0);
            if (r <= 0) fail("bare UDT receive failed");
            got += size_t(r);
        }
    });
    for (size_t sent = 0; sent < kVolume;) {
        int w = UDT::send(sender, buffer.data(), int(buffer.size()), 0);
        if (w <= 0) fail("bare UDT send failed");
        sent += size_t(w);
    }
    reader.join();
    const Transfer result{kVolume * 8.0 / seconds(Clock::now() - start) / 1e6,
                          (cpuSeconds() - cpuBefore) / (kVolume / 1e9)};
    UDT::close(sender);
    UDT::close(receiver);
    // The pair's sockets and their multiplexer linger in UDT for a while after closing, and their
    // threads would weigh on the forwarded run that follows: wait until UDT has let them go.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((UDT::getsockstate(sender) != NONEXIST || UDT::getsockstate(receiver) != NONEXIST) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return result;
}

int tcpListener(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 16);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int tcpConnect(int family, int port) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    socklen_t length;
    if (family == AF_INET6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(&ss);
        six->sin6_family = AF_INET6;
        six->sin6_addr = in6addr_loopback;
        six->sin6_port = htons(uint16_t(port));
        length = sizeof *six;
    } else {
        auto* four = reinterpret_cast<sockaddr_in*>(&ss);
        four->sin_family = AF_INET;
        four->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        four->sin_port = htons(uint16_t(port));
        length = sizeof *four;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), length) != 0) fail("TCP connect failed");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool readExactly(int fd, char* out, size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, out, n);
        if (r <= 0) return false;
        out += r;
        n -= size_t(r);
    }
    return true;
}

bool writeAll(int fd, const char* in, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, in, n);
        if (w <= 0) return false;
        in += w;
        n -= size_t(w);
    }
    return true;
}

class Connector : public TunnexServiceConnectorBase {
public:
    void willEndRemoteService() override {}
    std::shared_ptr<TunnexPeer> peer() const override { return nullptr; }
    std::shared_ptr<TunnexRemotePeer> remotePeer() const override { return nullptr; }
    bool hasRemoteService() const override { return true; }
    std::string serviceKey() const override { return "bench"; }
    void setServiceKey(std::string) override {}
    std::string hostUUID() const override { return "uuid-of-b"; }
    void setHostUUID(std::string) override {}
    std::string domain() const override { return ""; }
    void setDomain(std::string) override {}
    std::string type() const override { return ""; }
    void setType(std::string) override {}
    std::string name() const override { return ""; }
    void setName(std::string) override {}
    std::string serverID() const override { return ""; }
    void setServerID(std::string) override {}
    uint16_t localPort() const override { return 0; }
    void setLocalPort(uint16_t) override {}
    uint16_t remotePort() const override { return 0; }
    void setRemotePort(uint16_t) override {}
};

struct Tunnel {
    std::shared_ptr<TunnexRemoteManager> manager = TunnexRemoteManager::create();
    std::shared_ptr<TunnexPeer> peerA, peerB;
    std::shared_ptr<TunnexRemotePeer> remoteOfA;
    std::vector<std::shared_ptr<KLNetSocket>> kept;  // UDT owns the descriptors: never closed here

    Tunnel() {
        setTunnexPeerManager(manager);
        sockaddr_storage a{}, b{};
        int fdA = boundUdp(&a), fdB = boundUdp(&b);
        const bool encrypt = !std::getenv("KL_BENCH_PLAIN");
        peerA = TunnexPeer::initUsingEncryption(encrypt);
        peerB = TunnexPeer::initUsingEncryption(encrypt);
        remoteOfA = record("uuid-of-b", fdA, b);
        auto remoteOfB = record("uuid-of-a", fdB, a);
        for (auto [peer, remote] : {std::pair{peerA, remoteOfA}, std::pair{peerB, remoteOfB}}) {
            peer->setStunPeer(remote);
            manager->assignPeerToRemote(peer, remote);
        }
        auto [udtA, udtB] = udtPair(fdA, a, fdB, b, TunnexChannelMode::Message);
        peerA->takeMainChannel(TunnexSocketImpl::create(udtA));
        peerB->takeMainChannel(TunnexSocketImpl::create(udtB));
        for (int i = 0; i < 1000 && !(peerA->connectionStatus() == TunnexTunnelConnected &&
                                      peerB->connectionStatus() == TunnexTunnelConnected);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (peerA->usingEncryption() != encrypt) fail("the tunnel did not come up as asked");
    }
    std::shared_ptr<TunnexRemotePeer> record(const std::string& uuid, int fd, const sockaddr_storage& address) {
        auto remote = std::make_shared<TunnexRemotePeer>();
        remote->setUUID(uuid);
        remote->setAddress(address);
        kept.push_back(KLNetSocket::initWithSocket(fd));
        remote->setTunnelSocket(kept.back());
        return remote;
    }
    uint16_t forward(uint16_t targetPort) {
        int probe = 0;
        ::close(tcpListener(&probe));
        uint16_t port = peerA->requestPortForwardFromPort(uint16_t(probe), "localhost", targetPort,
                                                          TunnexPeer::kForwardTypeStream, remoteOfA, nullptr,
                                                          std::make_shared<Connector>(), true);
        if (port == 0) fail("no forward");
        return port;
    }
};

Transfer forwarded(Tunnel& tunnel) {
    int port = 0;
    int listener = tcpListener(&port);
    std::thread sink([listener] {
        int conn = ::accept(listener, nullptr, nullptr);
        // The greeting: the channel is open and both ends bridged.
        char hello = 0;
        if (!readExactly(conn, &hello, 1) || !writeAll(conn, "r", 1)) fail("no greeting");
        std::vector<char> in(kChunk);
        size_t got = 0;
        while (got < kVolume) {
            ssize_t r = ::read(conn, in.data(), in.size());
            if (r <= 0) fail("forwarded receive failed");
            got += size_t(r);
        }
        writeAll(conn, "k", 1);
        ::close(conn);
    });
    const uint16_t local = tunnel.forward(uint16_t(port));
    int client = tcpConnect(AF_INET6, local);
    // The channel opens on the greeting's way; the transfer is timed from its answer, as the bare
    // pair is timed from its connection.
    char ack = 0;
    if (!writeAll(client, "s", 1) || !readExactly(client, &ack, 1)) fail("no answer to the greeting");
    std::vector<char> buffer(kChunk, 'f');
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    for (size_t sent = 0; sent < kVolume; sent += kChunk) {
        if (!writeAll(client, buffer.data(), kChunk)) fail("forwarded send failed");
    }
    if (!readExactly(client, &ack, 1)) fail("no acknowledgement");
    const Transfer result{kVolume * 8.0 / seconds(Clock::now() - start) / 1e6,
                          (cpuSeconds() - cpuBefore) / (kVolume / 1e9)};
    sink.join();
    ::close(client);
    ::close(listener);
    return result;
}

struct Spread {
    double median = 0, p99 = 0;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

// Round trips of small messages against an echo server, directly and through the forward.
std::pair<Spread, Spread> roundTripsMs(Tunnel& tunnel) {
    int port = 0;
    int listener = tcpListener(&port);
    std::thread echo([listener] {
        for (int i = 0; i < 2; ++i) {
            int conn = ::accept(listener, nullptr, nullptr);
            int one = 1;
            ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char in[kSmall];
            while (readExactly(conn, in, kSmall) && writeAll(conn, in, kSmall)) {
            }
            ::close(conn);
        }
    });
    auto measure = [](int fd) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char message[kSmall] = {}, back[kSmall];
        writeAll(fd, message, kSmall);  // the first trip opens the channel; not counted
        readExactly(fd, back, kSmall);
        std::vector<double> trips;
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            if (!writeAll(fd, message, kSmall) || !readExactly(fd, back, kSmall)) fail("echo failed");
            trips.push_back(seconds(Clock::now() - start) * 1000.0);
        }
        return spreadOf(trips);
    };
    int direct = tcpConnect(AF_INET, port);
    const Spread directMs = measure(direct);
    ::close(direct);
    int forwarded = tcpConnect(AF_INET6, tunnel.forward(uint16_t(port)));
    const Spread forwardedMs = measure(forwarded);
    ::close(forwarded);
    echo.join();
    ::close(listener);
    return {directMs, forwardedMs};
}

// Time from a client's connect to its first echoed byte: the median of kOpenings connections made
// one after the other, and the time until kParallel connections made at once have all had theirs.
struct Openings {
    double sequentialMedianMs = 0, parallelAllMs = 0;
};

Openings openingsMs(uint16_t port, int family) {
    auto firstEcho = [port, family] {
        const auto start = Clock::now();
        int fd = tcpConnect(family, port);
        char byte = 'o';
        if (fd < 0 || !writeAll(fd, &byte, 1) || !readExactly(fd, &byte, 1)) fail("no first echo");
        const double ms = seconds(Clock::now() - start) * 1000.0;
        ::close(fd);
        return ms;
    };
    Openings result;
    std::vector<double> times;
    for (int i = 0; i < kOpenings; ++i) times.push_back(firstEcho());
    result.sequentialMedianMs = spreadOf(times).median;
    const auto start = Clock::now();
    std::vector<std::future<double>> parallel;
    for (int i = 0; i < kParallel; ++i) parallel.push_back(std::async(std::launch::async, firstEcho));
    for (auto& one : parallel) one.get();
    result.parallelAllMs = seconds(Clock::now() - start) * 1000.0;
    return result;
}

std::pair<Openings, Openings> openings(Tunnel& tunnel) {
    int port = 0;
    int listener = tcpListener(&port);
    std::thread echo([listener] {
        std::vector<std::thread> workers;
        for (int i = 0; i < 2 * (kOpenings + kParallel); ++i) {
            int conn = ::accept(listener, nullptr, nullptr);
            if (conn < 0) break;
            workers.emplace_back([conn] {
                char in[256];
                for (ssize_t r; (r = ::read(conn, in, sizeof in)) > 0;) {
                    if (!writeAll(conn, in, size_t(r))) break;
                }
                ::close(conn);
            });
        }
        for (auto& worker : workers) worker.join();
    });
    const Openings direct = openingsMs(uint16_t(port), AF_INET);
    const Openings forwarded = openingsMs(tunnel.forward(uint16_t(port)), AF_INET6);
    echo.join();
    ::close(listener);
    return {direct, forwarded};
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    // Errors only, where the figures are read: one explains a run that went wrong.
    setLogSink(LogSink::StandardError);
    setLoggingLevel(std::getenv("KL_BENCH_DEBUG") ? kKLTLoggingLevelDebug : kKLTLoggingLevelError);
    TunnexPeer::initialize();
    // UDT's throughput on loopback varies a lot from connection to connection: alternate the
    // two measurements and compare their medians.
    constexpr int kRounds = 5;
    Tunnel tunnel;
    std::vector<double> bares, forwardeds, bareCpus, forwardedCpus;
    for (int round = 0; round < kRounds; ++round) {
        const Transfer b = bareUdt(), f = forwarded(tunnel);
        bares.push_back(b.mbps);
        forwardeds.push_back(f.mbps);
        bareCpus.push_back(b.cpuPerGB);
        forwardedCpus.push_back(f.cpuPerGB);
        std::printf("run %d: bare UDT %.0f Mb/s (%.2f CPU s/GB), forwarded %.0f Mb/s (%.2f CPU s/GB)\n", round + 1,
                    b.mbps, b.cpuPerGB, f.mbps, f.cpuPerGB);
    }
    const double bare = spreadOf(bares).median, forwarded = spreadOf(forwardeds).median;
    auto [directMs, forwardedMs] = roundTripsMs(tunnel);
    auto [directOpen, forwardedOpen] = openings(tunnel);
    std::printf("volume per run:                    %zu MiB\n", kVolume >> 20);
    std::printf("bare UDT stream pair (median):     %.0f Mb/s\n", bare);
    std::printf("TCP forwarded through the tunnel:  %.0f Mb/s (median; AES-CFB, packing, bridge)\n", forwarded);
    std::printf("ratio forwarded / bare:            %.2f\n", forwarded / bare);
    std::printf("CPU s per GB (median):             bare UDT %.2f, forwarded %.2f (the whole process)\n",
                spreadOf(bareCpus).median, spreadOf(forwardedCpus).median);
    std::printf("round trip, %zu-byte messages:     direct %.3f ms (p99 %.3f), forwarded %.3f ms (p99 %.3f)\n",
                kSmall, directMs.median, directMs.p99, forwardedMs.median, forwardedMs.p99);
    std::printf("new connection to first echo:      direct %.2f ms, forwarded %.2f ms (median of %d)\n",
                directOpen.sequentialMedianMs, forwardedOpen.sequentialMedianMs, kOpenings);
    std::printf("%d connections at once, all echoed: direct %.2f ms, forwarded %.2f ms\n", kParallel,
                directOpen.parallelAllMs, forwardedOpen.parallelAllMs);
    tunnel.peerA->disconnectFromPeers();
    tunnel.peerB->disconnectFromPeers();
    setTunnexPeerManager(nullptr);
    std::fflush(stdout);
    std::_Exit(0);  // the tunnel's threads are not wound down for a measurement program
}

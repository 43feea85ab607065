// Relays one TCP stream on loopback through the socket core and, in the same run, through a plain
// blocking read/write loop, and prints both rates and their ratio.
//
//   sockcore_relay_bench [megabytes per run, default 1024] [runs each, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

int listenOn(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) < 0 || ::listen(fd, 4) < 0) std::exit(1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) std::exit(1);
    return fd;
}

// Sends `total` bytes to port, and counts what arrives at the sink listener; returns the seconds
// from the first byte sent to the last byte received.
template <typename StartRelay>
double timeStream(size_t total, StartRelay startRelay) {
    int sinkPort = 0;
    int sinkListener = listenOn(&sinkPort);
    int relayPort = startRelay(sinkPort);
    std::atomic<bool> done{false};
    Clock::time_point end;
    std::thread sink([&] {
        int fd = ::accept(sinkListener, nullptr, nullptr);
        std::vector<char> buf(256 << 10);
        size_t got = 0;
        while (got < total) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got += size_t(n);
        }
        end = Clock::now();
        if (got != total) std::fprintf(stderr, "sink got %zu of %zu bytes\n", got, total);
        ::close(fd);
        done = true;
    });
    int source = connectTo(relayPort);
    std::vector<char> block(256 << 10, 'x');
    auto start = Clock::now();
    for (size_t sent = 0; sent < total;) {
        ssize_t n = ::send(source, block.data(), std::min(block.size(), total - sent), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    sink.join();
    ::close(source);
    ::close(sinkListener);
    return std::chrono::duration<double>(end - start).count();
}

// The plain relay: one thread, blocking reads of 204800 bytes, each written out in full.
double plainRelay(size_t total) {
    std::thread relay;
    int listener = -1;
    double seconds = timeStream(total, [&](int sinkPort) {
        int port = 0;
        listener = listenOn(&port);
        relay = std::thread([listener, sinkPort] {
            int in = ::accept(listener, nullptr, nullptr);
            int out = connectTo(sinkPort);
            std::vector<char> buf(204800);
            for (;;) {
                ssize_t n = ::read(in, buf.data(), buf.size());
                if (n <= 0) break;
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = ::write(out, buf.data() + off, size_t(n - off));
                    if (w <= 0) return;
                    off += w;
                }
            }
            ::close(in);
            ::close(out);
        });
        return port;
    });
    relay.join();
    ::close(listener);
    return seconds;
}

// The core relay: an accepted core socket whose bytes are written into an outgoing core socket,
// the source frozen while the sink's queue is at its limit.
class CoreRelay : public kl::Plug {
public:
    int sinkPort = 0;
    kl::SocketPtr listener, in, out;
    std::shared_ptr<CoreRelay> self() { return std::static_pointer_cast<CoreRelay>(selfWeak.lock()); }
    std::weak_ptr<kl::Plug> selfWeak;

    int accepting(int fd) override {
        in = kl::sk_register(fd, self());
        out = kl::sk_new(kl::sk_namelookup("127.0.0.1", nullptr, kl::ADDRTYPE_IPV4), sinkPort, false, false, true,
                         false, self());
        in->setFrozen(false);
        return 0;
    }
    int receive(int, const char* data, int len) override {
        if (out->write(data, len) >= kl::kSocketBacklogLimit) in->setFrozen(true);
        return 1;
    }
    void sent(int bufsize) override {
        if (bufsize < kl::kSocketBacklogResume && in) in->setFrozen(false);
    }
    int closing(const char*, int, int) override { return 1; }
};

double coreRelay(size_t total) {
    auto relay = std::make_shared<CoreRelay>();
    relay->selfWeak = relay;
    double seconds = timeStream(total, [&](int sinkPort) {
        relay->sinkPort = sinkPort;
        {
            kl::SocketCoreLock lock;
            relay->listener = kl::sk_newlistener("127.0.0.1", 0, relay, true, kl::ADDRTYPE_IPV4);
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(kl::sk_ossocket(relay->listener), reinterpret_cast<sockaddr*>(&a), &len);
        return int(ntohs(a.sin_port));
    });
    kl::SocketCoreLock lock;
    for (auto& s : {relay->in, relay->out, relay->listener}) {
        if (s) s->close();
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? size_t(std::atoll(argv[1])) : 1024;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    size_t total = megabytes << 20;
    kl::osxsel_init();
    kl::sk_init();

    std::vector<double> plain, core;
    for (int i = 0; i < runs; ++i) {
        plain.push_back(double(total) / plainRelay(total) / 1e6);
        uint64_t passes = kl::OSXSel::shared().passCount(), waits = kl::OSXSel::shared().waitCount();
        core.push_back(double(total) / coreRelay(total) / 1e6);
        passes = kl::OSXSel::shared().passCount() - passes;
        waits = kl::OSXSel::shared().waitCount() - waits;
        std::printf("run %d: plain %.0f MB/s, core %.0f MB/s (%.0f KB per result pass, %.1f passes per wait)\n", i + 1,
                    plain.back(), core.back(), double(total) / double(passes ? passes : 1) / 1024,
                    double(passes) / double(waits ? waits : 1));
    }
    std::sort(plain.begin(), plain.end());
    std::sort(core.begin(), core.end());
    double plainMedian = plain[plain.size() / 2], coreMedian = core[core.size() / 2];
    std::printf("median of %d runs of %zu MB: plain relay %.0f MB/s, core relay %.0f MB/s, ratio %.2f\n", runs,
                megabytes, plainMedian, coreMedian, coreMedian / plainMedian);
    return 0;
}

// udt_stream: one bare UDT stream between two hosts, opened as the tunnel opens its data channels
// (a rendezvous connect over a bound UDP socket, under the process's congestion control: see
// KL_UDT_CC), for the namespace benchmark's "bare UDT" row. Start one side with "send" and the
// other with "receive" at about the same time; the receiver prints {"mbps": ..., "bytes": ...,
// "cpu_s": ...}, the sender {"cpu_s": ...} (the process's CPU seconds, all its threads).
//
//   udt_stream LOCAL_ADDR PORT REMOTE_ADDR PORT send SECONDS
//   udt_stream LOCAL_ADDR PORT REMOTE_ADDR PORT receive
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tunnel/channel/TunnexUDTChannel.h"

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_storage ipv4(const char* address, const char* port) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(uint16_t(std::atoi(port)));
    if (::inet_pton(AF_INET, address, &in->sin_addr) != 1) {
        std::fprintf(stderr, "udt_stream: bad address %s\n", address);
        std::exit(2);
    }
    return storage;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || (std::strcmp(argv[5], "send") == 0 && argc < 7)) {
        std::fprintf(stderr, "usage: udt_stream LOCAL_ADDR PORT REMOTE_ADDR PORT send SECONDS | receive\n");
        return 2;
    }
    const sockaddr_storage local = ipv4(argv[1], argv[2]), remote = ipv4(argv[3], argv[4]);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(sockaddr_in)) != 0) {
        std::perror("udt_stream: bind");
        return 1;
    }
    kl::Result<int> opened = kl::openUDTChannel(fd, remote, kl::TunnexChannelMode::Stream);
    if (!opened.ok()) {
        std::fprintf(stderr, "udt_stream: connect failed: %s\n", opened.error().description().c_str());
        return 1;
    }
    const int u = opened.value();
    std::vector<char> buffer(1 << 20, 'u');
    if (std::strcmp(argv[5], "send") == 0) {
        const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[6]));
        while (Clock::now() < end) {
            if (UDT::send(u, buffer.data(), int(buffer.size()), 0) == UDT::ERROR) break;
        }
        UDT::close(u);  // lingers until the receiver has it all
        std::printf("{\"cpu_s\": %.3f}\n", cpuSeconds());
        return 0;
    }
    uint64_t total = 0;
    Clock::time_point first{};
    for (;;) {
        int n = UDT::recv(u, buffer.data(), int(buffer.size()), 0);
        if (n == UDT::ERROR) break;
        if (total == 0) first = Clock::now();
        total += uint64_t(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
    UDT::close(u);
    std::printf("{\"mbps\": %.1f, \"bytes\": %llu, \"seconds\": %.3f, \"cpu_s\": %.3f}\n", total * 8 / seconds / 1e6,
                (unsigned long long)total, seconds, cpuSeconds());
    return 0;
}

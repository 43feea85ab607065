// Loopback throughput of KLNetSocket's datagram loop (delivering views of its buffer against
// copies) and of its exact-length TCP reads, measured side by side in one run.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "foundation/KLNetSocket.h"

using namespace kl;
using Clock = std::chrono::steady_clock;

namespace {

struct Counter : KLNetSocketDelegate {
    void acceptedNewClientSocket(std::shared_ptr<KLNetSocket> socket) override { accepted = std::move(socket); }
    void willBeginListeningForDatagramsOnSocket(KLNetSocket&) override { began = true; }
    void datagramReceivedForSocket(KLNetSocket&, const KLNetDatagram& data) override {
        bytes += data.bytes.size();
        ++count;
    }
    std::shared_ptr<KLNetSocket> accepted;
    std::atomic<bool> began{false};
    std::atomic<uint64_t> count{0}, bytes{0};
};

// Datagrams per second that reach the delegate while a sender floods the loop for a while.
double datagramRate(bool copy, size_t size) {
    auto counter = std::make_shared<Counter>();
    auto receiver = KLNetSocket::initWithFamily(AF_INET);
    receiver->setUseCopyForDatagrams(copy);
    receiver->startListeningForDatagramsOnPort(counter, 0);
    while (!counter->began) std::this_thread::yield();
    int buffer = 8 << 20;
    ::setsockopt(receiver->sock(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    auto sender = KLNetSocket::initUDPClientWithFamily(AF_INET);
    sockaddr_storage to{};
    KLNetSocket::getAddressForHost("127.0.0.1", AF_INET, SOCK_DGRAM, to);
    setSocketAddressPort(to, receiver->localPort());
    std::vector<uint8_t> payload(size, 0x5a);
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(1)) sender->sendDatagram(payload.data(), uint32_t(size), to, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(counter->count) / seconds;
}

double streamMegabytesPerSecond(size_t chunk) {
    auto counter = std::make_shared<Counter>();
    auto listener = KLNetSocket::init();
    listener->listenOnPort(0, counter);
    auto client = KLNetSocket::init();
    client->connectToHost("127.0.0.1", listener->localPort());
    while (!counter->accepted) std::this_thread::yield();
    const size_t total = 256u << 20;
    std::jthread writer([&] {
        std::vector<uint8_t> data(chunk, 1);
        for (size_t sent = 0; sent < total; sent += chunk) client->sendBytes(data.data(), uint32_t(chunk));
    });
    std::vector<uint8_t> in(chunk);
    auto start = Clock::now();
    for (size_t got = 0; got < total; got += chunk) counter->accepted->getClientBytes(in.data(), int64_t(chunk));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(total) / seconds / 1e6;
}

}  // namespace

int main() {
    for (size_t size : {64u, 1400u}) {
        double view = datagramRate(false, size);
        double copy = datagramRate(true, size);
        std::printf("datagram loop, %4zu-byte datagrams: %9.0f/s as views, %9.0f/s as copies (copies/views %.2f)\n",
                    size, view, copy, copy / view);
    }
    for (size_t chunk : {16u, 4096u, 65536u})
        std::printf("exact-length reads of %5zu bytes: %8.1f MB/s\n", chunk, streamMegabytesPerSecond(chunk));
    return 0;
}

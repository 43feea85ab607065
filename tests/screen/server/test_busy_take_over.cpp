// The busy exchange with a second viewer on real loopback sockets, within its time limit.
#include <gtest/gtest.h>

#include "LoopbackClient.h"
#include "screen/protocol/ScreenWireWriter.h"
#include "screen/protocol/ServerMessages.h"
#include "screen/server/BusyTakeOver.h"

namespace kl {
namespace {

// A connected pair: the service's KLNetSocket and the newcomer's plain descriptor.
struct Pair {
    int listener = -1, newcomer = -1;
    std::shared_ptr<KLNetSocket> service;
    Pair() {
        socklen_t length;
        sockaddr_storage address = loopbackSocketAddress(AF_INET, 0, length);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        newcomer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(newcomer, reinterpret_cast<sockaddr*>(&address), length), 0);
        service = KLNetSocket::initWithSocket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    ~Pair() {
        ::close(newcomer);
        ::close(listener);
    }
};

Bytes idBytes(uint64_t id) {
    Bytes out;
    ScreenWireWriter(out).u64(id);
    return out;
}

TEST(BusyTakeOver, TakesOverOnlyOnATimelyEchoOfANonzeroId) {
    const uint64_t id = 0x0102030405060708;
    struct Case {
        const char* name;
        uint64_t attached;
        Bytes reply;  // written before the exchange starts
        bool takesOver;
    };
    const Case cases[] = {
        {"echo", id, idBytes(id), true},
        {"other id", id, idBytes(id + 1), false},
        {"short then silent", id, Bytes{1, 2, 3}, false},
        {"silent", id, {}, false},
        {"no id to echo", 0, idBytes(0), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        ASSERT_TRUE(pair.service);
        if (!c.reply.empty()) ::send(pair.newcomer, c.reply.data(), c.reply.size(), 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(runBusyExchange(*pair.service, c.attached, std::chrono::milliseconds(300)), c.takesOver);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // bounded, not timed
        Bytes busy(9);
        ASSERT_EQ(::recv(pair.newcomer, busy.data(), busy.size(), MSG_WAITALL), 9);
        EXPECT_EQ(busy, writeServerBusy(c.attached));
    }
}

}  // namespace
}  // namespace kl

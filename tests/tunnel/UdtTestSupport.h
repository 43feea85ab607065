// Shared pieces of the UDT tunnel socket tests: pairs of UDT channels over two loopback UDP
// descriptors (as two punched peers would have), a pass-through delegate that counts closes, and
// a stand-in for the port-forward plug that hands a local connection's bytes to a data channel.
#pragma once

#include <arpa/inet.h>
#include <cryptopp/sha.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "SockcoreTestSupport.h"
#include "support/TestEnvironment.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/channel/UdtStartup.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl::test {

// Two bound loopback UDP sockets, one per simulated peer. Once a UDT socket is bound onto them UDT
// owns them, so nothing here closes them.
struct UdpPeers {
    int fdA = -1, fdB = -1;
    sockaddr_storage addressA{}, addressB{};

    // UDT closes a descriptor once the last UDT socket on it is gone. In a tunnel the main channel
    // keeps it for the data channels that come later; here one idle UDT socket bound on each side
    // (the first open() binds it) plays that part, so that a pair closed in one test step does not
    // take the descriptor from the pairs opened after it. Shared by copies; the last closes them.
    struct DescriptorHolders {
        UDTSOCKET a = UDT::INVALID_SOCK, b = UDT::INVALID_SOCK;
        ~DescriptorHolders() {
            if (a != UDT::INVALID_SOCK) UDT::close(a);
            if (b != UDT::INVALID_SOCK) UDT::close(b);
        }
    };
    std::shared_ptr<DescriptorHolders> holders = std::make_shared<DescriptorHolders>();

    UdpPeers() {
        fdA = boundUdp(&addressA);
        fdB = boundUdp(&addressB);
    }

    static int boundUdp(sockaddr_storage* address) {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        *address = loopbackAddress(AF_INET, 0);
        ::bind(fd, reinterpret_cast<sockaddr*>(address), sizeof(sockaddr_in));
        socklen_t length = sizeof *address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &length);
        return fd;
    }

    // One channel on each descriptor, connected to each other (both connect at once).
    std::pair<int, int> open(TunnexChannelMode mode,
                             TunnexCongestionControl control = tunnexCongestionControl()) const {
        if (holders->a == UDT::INVALID_SOCK) {
            holders->a = descriptorHolder(fdA);
            holders->b = descriptorHolder(fdB);
        }
        return connect(mode, control);
    }

    // The same without the idle holders: the descriptors live only as long as the channels on them.
    std::pair<int, int> connect(TunnexChannelMode mode,
                                TunnexCongestionControl control = tunnexCongestionControl()) const {
        auto sideB = std::async(std::launch::async, [&] {
            return openUDTChannel(fdB, addressA, mode, kTunnexRendezvousConnectLimit, control);
        });
        Result<int> a = openUDTChannel(fdA, addressB, mode, kTunnexRendezvousConnectLimit, control);
        Result<int> b = sideB.get();
        if (!a.ok()) ADD_FAILURE() << "side A: " << a.error().description();
        if (!b.ok()) ADD_FAILURE() << "side B: " << b.error().description();
        return {a.ok() ? a.value() : -1, b.ok() ? b.value() : -1};
    }

    // An unconnected UDT socket bound onto fd with the settings of a channel, so that it shares the
    // channels' multiplexer on that descriptor.
    static UDTSOCKET descriptorHolder(int fd) {
        udtStartup();
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        UDTSOCKET u = UDT::socket(local.ss_family, SOCK_DGRAM, 0);
        bool yes = true;
        UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes);
        UDT::setsockopt(u, 0, UDT_REUSEADDR, &yes, sizeof yes);
        if (UDT::bind2(u, fd) == UDT::ERROR) {
            ADD_FAILURE() << "binding the descriptor holder: " << UDT::getlasterror().getErrorMessage();
            UDT::close(u);
            return UDT::INVALID_SOCK;
        }
        return u;
    }
};

// Carries one byte from sender to receiver. UDT enters a freshly connected socket into its
// dispatch table only on its receive thread's next turn; a control packet (such as the peer's
// close) arriving before that is dropped, and the loss is noticed only by UDT's ~45 s expiry. A
// first byte through the channel proves the receiver is reachable.
inline bool carryFirstByte(const std::shared_ptr<TunnexSocketImpl>& sender, const std::shared_ptr<TunnexSocketImpl>& receiver) {
    static const uint8_t byte = 0x5a;
    sender->sendOperationQueue().addOperationAndWait([&] { sender->sendBytes({&byte, 1}); });
    auto got = receiver->recvBytes(16, 10.0, nullptr);
    return got && got->size() == 1 && (*got)[0] == byte;
}

// Passes bytes through unchanged and counts the socket's closes.
class CountingDelegate : public TunnexSocketDelegate {
public:
    std::optional<Bytes> encryptSomeBytes(const Bytes& data, TunnexStreamCipher&) override { return data; }
    std::optional<Bytes> decryptSomeBytes(const Bytes& data, TunnexStreamCipher&) override { return data; }
    void closedSocket(const std::shared_ptr<TunnexSocket>&) override { closes++; }
    std::atomic<int> closes{0};
};

// What the port-forward record does for a bridged connection: every read of the local socket is
// queued on the channel's send queue (never waited for: the core's pass runs on the pool, and a
// send may wait for a bridge pass that needs the core lock); the local socket is frozen while
// much is queued and thawed once the sends caught up; the end of the local connection closes the
// channel (off the core's pass, which close() would otherwise wait on).
class ForwardStandIn : public Plug, public std::enable_shared_from_this<ForwardStandIn> {
public:
    static constexpr int64_t kPendingLimit = 4 << 20;
    static constexpr int64_t kPendingResume = 1 << 20;

    explicit ForwardStandIn(std::shared_ptr<TunnexSocketImpl> channel) : channel_(channel) {}
    void setLocal(const SocketPtr& local) { local_ = local; }

    int receive(int, const char* data, int len) override {
        auto channel = channel_.lock();
        if (!channel) return 1;
        auto bytes = std::make_shared<Bytes>(data, data + len);
        if ((pending_ += len) >= kPendingLimit && !frozen_.exchange(true)) {
            if (auto local = local_.lock()) local->setFrozen(true);  // in the core's pass: its lock is held
        }
        auto done = [weak = weak_from_this(), len] {
            auto self = weak.lock();
            if (!self || (self->pending_ -= len) > kPendingResume || !self->frozen_.exchange(false)) return;
            globalQueue().async([local = self->local_] {
                auto socket = local.lock();
                if (!socket) return;
                SocketCoreLock lock;
                socket->setFrozen(false);
            });
        };
        channel->sendOperationQueue().addOperation(
            [weak = channel_, bytes, done] {
                if (auto channel = weak.lock()) channel->sendBytes(*bytes);
                done();
            },
            done);
        return channel->sendErrorFlag() ? 0 : 1;
    }
    int closing(const char*, int, int) override {
        closings++;
        if (auto channel = channel_.lock()) globalQueue().async([channel] { channel->close(); });
        return 1;
    }
    std::atomic<int> closings{0};

private:
    std::weak_ptr<TunnexSocketImpl> channel_;
    std::weak_ptr<Socket> local_;
    std::atomic<int64_t> pending_{0};
    std::atomic<bool> frozen_{false};
};

// Wraps a connected descriptor in a frozen core socket owned by a forward stand-in and bridges the
// channel to it. The returned plug must outlive the bridge (the core holds it weakly).
inline std::shared_ptr<ForwardStandIn> bridgeDescriptor(int fd, const std::shared_ptr<TunnexSocketImpl>& channel) {
    auto plug = std::make_shared<ForwardStandIn>(channel);
    SocketPtr local;
    {
        SocketCoreLock lock;
        local = sk_register(fd, plug);
    }
    plug->setLocal(local);
    channel->bridgeToFrozenSocket(local);
    return plug;
}

// A connected pair of loopback TCP descriptors: {outer end, end handed to the core}.
inline std::pair<int, int> tcpPair() {
    int port = 0;
    int listener = plainListener(AF_INET, &port);
    int outer = plainConnect(AF_INET, port);
    int inner = plainAccept(listener);
    ::close(listener);
    return {outer, inner};
}

inline std::string sha256(std::span<const uint8_t> data) {
    CryptoPP::SHA256 hash;
    std::string digest(CryptoPP::SHA256::DIGESTSIZE, '\0');
    hash.CalculateDigest(reinterpret_cast<CryptoPP::byte*>(digest.data()), data.data(), data.size());
    return digest;
}

inline std::span<const uint8_t> asBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace kl::test

// The tunnel's UDT congestion control: which one a channel gets, and that a stream crosses a path
// that drops datagrams at random, intact, with either control on either side.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "UdtTestSupport.h"
#include "tunnel/channel/TunnexCongestionControl.h"
#include "tunnel/channel/TunnexLossTolerantCC.h"

namespace kl::test {
namespace {

// Two loopback UDP sockets joined by a thread that copies datagrams between them and drops a
// given share of them (the same pseudo-random series every run). Peer A talks to facingA, peer B
// to facingB; neither sees the other's address.
class LossyRelay {
public:
    LossyRelay(const sockaddr_storage& a, const sockaddr_storage& b, double loss) : a_(a), b_(b), loss_(loss) {
        fdFacingA_ = UdpPeers::boundUdp(&facingA);
        fdFacingB_ = UdpPeers::boundUdp(&facingB);
        wake_ = ::eventfd(0, EFD_CLOEXEC);
        thread_ = std::jthread([this] { run(); });
    }
    ~LossyRelay() {
        uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
        ::close(fdFacingA_);
        ::close(fdFacingB_);
        ::close(wake_);
    }

    sockaddr_storage facingA{}, facingB{};
    std::atomic<uint64_t> dropped{0}, carried{0};

private:
    void run() {
        std::mt19937 random(17);
        std::bernoulli_distribution drop(loss_);
        std::vector<char> buffer(65536);
        pollfd fds[3] = {{fdFacingA_, POLLIN, 0}, {fdFacingB_, POLLIN, 0}, {wake_, POLLIN, 0}};
        while (::poll(fds, 3, -1) >= 0 && !(fds[2].revents & POLLIN)) {
            for (int side = 0; side < 2; side++) {
                if (!(fds[side].revents & POLLIN)) continue;
                ssize_t n = ::recv(fds[side].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n < 0) continue;
                if (drop(random)) {
                    dropped++;
                    continue;
                }
                carried++;
                const sockaddr_storage& to = side == 0 ? b_ : a_;
                ::sendto(fds[1 - side].fd, buffer.data(), size_t(n), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof(sockaddr_in));
            }
        }
    }

    sockaddr_storage a_, b_;
    double loss_;
    int fdFacingA_ = -1, fdFacingB_ = -1, wake_ = -1;
    std::jthread thread_;
};

// Sets what UDT would have measured before calling in.
class ControlUnderTest : public TunnexLossTolerantCC {
public:
    void measured(int rttUs) { m_iRTT = rttUs; }
};

// UDT's expiry timer as it runs on the sender of a stream whose receiver holds its window closed
// (or has vanished): the sender's wait counts from the last packet heard; each expiry sends the
// unacknowledged packets again, which the full receiver drops without a word; a receiver that hears
// nothing for its own expiry sends a keep-alive: UDT's native control after 300 ms, then after
// twice, three times that...; the loss-tolerant one every 300 ms. Returns the sender's expiry times.
enum class Receiver { Dead, Native, LossTolerant };

std::vector<double> expiriesAgainstAFullReceiver(Receiver receiver, double spanSeconds,
                                                 double* rateAtEnd = nullptr) {
    ControlUnderTest control;
    control.measured(2000);
    control.init();
    for (int32_t seq = 0; seq < 100; seq++) control.noteSent(seq);
    control.onACK(98);  // two probes outstanding, as UDT's smallest window allows
    const double oneWay = 0.001;
    double heardBySender = 0, heardByReceiver = oneWay, lastKeepAlive = 0;
    int keepAlivesSinceProbe = 0;
    std::vector<double> expiries;
    for (;;) {
        const double expiry = heardBySender + control.expiryUs() / 1e6;
        const double step = receiver == Receiver::Native ? 0.3 * (keepAlivesSinceProbe + 1) : 0.3;
        const double keepAlive = receiver == Receiver::Dead ? spanSeconds + 1
                                 : (keepAlivesSinceProbe == 0 ? heardByReceiver : lastKeepAlive) + step;
        if (std::min(expiry, keepAlive + oneWay) > spanSeconds) {
            if (rateAtEnd) *rateAtEnd = control.rate();
            return expiries;
        }
        if (keepAlive + oneWay < expiry) {
            heardBySender = keepAlive + oneWay;
            lastKeepAlive = keepAlive;
            keepAlivesSinceProbe++;
            continue;
        }
        control.onTimeout();
        expiries.push_back(expiry);
        heardBySender = expiry;
        heardByReceiver = expiry + oneWay;
        keepAlivesSinceProbe = 0;
    }
}

// A receiver that reads again is learnt of only through an expiry's retransmission: those come
// often however long it held the window closed, whichever control it runs (its keep-alives must
// not keep postponing them). A silent peer gets the same probes, ever more slowly.
TEST(UdtCongestionControl, AFullReceiverIsProbedOftenHoweverLongItHoldsTheWindowClosed) {
    for (Receiver receiver : {Receiver::Native, Receiver::LossTolerant, Receiver::Dead}) {
        double rate = 0;
        const std::vector<double> expiries = expiriesAgainstAFullReceiver(receiver, 30.0, &rate);
        ASSERT_GT(expiries.size(), 100u) << "receiver " << int(receiver);
        double longest = expiries.front();
        for (size_t i = 1; i < expiries.size(); i++) longest = std::max(longest, expiries[i] - expiries[i - 1]);
        EXPECT_LT(longest, 0.3) << "receiver " << int(receiver) << " waited " << longest << " s for a probe";
        EXPECT_LT(rate, 500.0) << "receiver " << int(receiver) << ": a silent path is not sent to at full rate";
    }
}

// After an acknowledgement with data outstanding the first expiry comes after a few round trips
// (a lost repair is sent again soon); with everything acknowledged it is UDT's own.
TEST(UdtCongestionControl, ExpiryIsShortWhileDataIsUnacknowledged) {
    ControlUnderTest control;
    control.measured(20000);
    control.init();
    EXPECT_EQ(control.expiryUs(), 300000);  // nothing sent: UDT's own first expiry
    for (int32_t seq = 0; seq < 100; seq++) control.noteSent(seq);
    control.onACK(50);  // half acknowledged
    EXPECT_EQ(control.expiryUs(), 60000);
    control.onACK(100);  // everything acknowledged
    EXPECT_EQ(control.expiryUs(), 300000);
}

// Pacing holds UDT's send thread after each packet (and it wakes late), so only a sender that uses
// its rate is paced; one with little to say sends at once.
TEST(UdtCongestionControl, OnlyASenderThatUsesItsRateIsPaced) {
    ControlUnderTest control;
    control.measured(2000);
    control.init();
    EXPECT_LE(control.period(), 1.0) << "nothing sent yet";
    int32_t seq = 0;
    auto sampleOf = [&](int packets) {
        for (int i = 0; i < packets; i++) control.noteSent(seq++);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));  // longer than a sample
        control.onACK(seq);
    };
    sampleOf(1);  // starts the first sample
    sampleOf(200);  // far above half of 1000 packets a second
    EXPECT_GT(control.period(), 100.0) << "a bulk sender is paced";
    const double rate = control.rate();
    sampleOf(1);
    EXPECT_LE(control.period(), 1.0) << "a sparse one is not";
    EXPECT_EQ(control.rate(), rate) << "and learns nothing about the path";
}

bool runsLossTolerant(int udtSocket) {
    CCC* control = nullptr;
    int length = sizeof control;
    if (UDT::getsockopt(udtSocket, 0, UDT_CC, &control, &length) == UDT::ERROR) return false;
    return dynamic_cast<TunnexLossTolerantCC*>(control) != nullptr;
}

struct ChannelPair {
    int a = -1, b = -1;
    ~ChannelPair() {
        if (a >= 0) UDT::close(a);
        if (b >= 0) UDT::close(b);
    }
};

void openThrough(const UdpPeers& peers, const LossyRelay& relay, TunnexCongestionControl controlA,
                 TunnexCongestionControl controlB, ChannelPair& pair) {
    auto sideB = std::async(std::launch::async, [&] {
        return openUDTChannel(peers.fdB, relay.facingB, TunnexChannelMode::Stream, kTunnexRendezvousConnectLimit,
                              controlB);
    });
    Result<int> a = openUDTChannel(peers.fdA, relay.facingA, TunnexChannelMode::Stream,
                                   kTunnexRendezvousConnectLimit, controlA);
    Result<int> b = sideB.get();
    pair.a = a.ok() ? a.value() : -1;
    pair.b = b.ok() ? b.value() : -1;
}

TEST(UdtCongestionControl, ChannelsRunTheChosenControl) {
    const TunnexCongestionControl before = tunnexCongestionControl();
    for (auto control : {TunnexCongestionControl::LossTolerant, TunnexCongestionControl::Native}) {
        setTunnexCongestionControl(control);
        UdpPeers peers;
        auto [a, b] = peers.open(TunnexChannelMode::Stream);
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        const bool expected = control == TunnexCongestionControl::LossTolerant;
        EXPECT_EQ(runsLossTolerant(a), expected);
        EXPECT_EQ(runsLossTolerant(b), expected);
        UDT::close(a);
        UDT::close(b);
        // The main channel keeps UDT's own control, whatever the choice.
        UdpPeers mainPeers;
        auto [mainA, mainB] = mainPeers.open(TunnexChannelMode::Message);
        ASSERT_GE(mainA, 0);
        EXPECT_FALSE(runsLossTolerant(mainA));
        UDT::close(mainA);
        UDT::close(mainB);
    }
    setTunnexCongestionControl(before);
    EXPECT_EQ(tunnexCongestionControlNamed("native"), TunnexCongestionControl::Native);
    EXPECT_EQ(tunnexCongestionControlNamed("loss-tolerant"), TunnexCongestionControl::LossTolerant);
    EXPECT_EQ(tunnexCongestionControlNamed("cubic"), std::nullopt);
}

// Of a data channel's rendezvous beside a main channel, the side whose connect starts second
// would complete only at its next handshake repeat (a quarter second later): the first side's keep-alive completes it at once, so both
// sides complete together whichever started first.
TEST(UdtCongestionControl, ARendezvousStartedLateOnOneSideCompletesOnBothAtOnce) {
    using Clock = std::chrono::steady_clock;
    UdpPeers peers;
    // As in a tunnel, the descriptors already carry a connected main channel.
    auto [mainA, mainB] = peers.open(TunnexChannelMode::Message);
    ASSERT_GE(mainA, 0);
    ASSERT_GE(mainB, 0);
    std::promise<Clock::time_point> doneA, doneB;
    std::promise<int> socketA, socketB;
    auto finish = [](std::promise<Clock::time_point>& when, std::promise<int>& socket) {
        return [&when, &socket](Result<int> outcome) {
            when.set_value(Clock::now());
            socket.set_value(outcome.ok() ? outcome.value() : -1);
        };
    };
    openUDTChannelAsync(peers.fdA, peers.addressB, TunnexChannelMode::Stream, finish(doneA, socketA),
                        kTunnexRendezvousConnectLimit, TunnexCongestionControl::LossTolerant);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // A's first handshake finds no one
    openUDTChannelAsync(peers.fdB, peers.addressA, TunnexChannelMode::Stream, finish(doneB, socketB),
                        kTunnexRendezvousConnectLimit, TunnexCongestionControl::LossTolerant);
    const Clock::time_point a = doneA.get_future().get(), b = doneB.get_future().get();
    const int udtA = socketA.get_future().get(), udtB = socketB.get_future().get();
    ASSERT_GE(udtA, 0);
    ASSERT_GE(udtB, 0);
    EXPECT_LT(std::chrono::abs(a - b), std::chrono::milliseconds(125)) << std::chrono::duration<double, std::milli>(a - b).count();
    for (int u : {udtA, udtB, mainA, mainB}) UDT::close(u);
}

// Each side's control only shapes what it sends, so a mixed pair still carries every byte both
// ways; the relay drops a twentieth of the datagrams in each direction, handshake included.
TEST(UdtCongestionControl, StreamsCrossARandomlyLossyPathIntactWithEitherControlOnEitherSide) {
    using CC = TunnexCongestionControl;
    const struct {
        CC a, b;
    } cases[] = {{CC::LossTolerant, CC::LossTolerant}, {CC::LossTolerant, CC::Native}, {CC::Native, CC::LossTolerant}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << int(c.a) << ", B " << int(c.b));
        UdpPeers peers;
        LossyRelay relay(peers.addressA, peers.addressB, 0.05);
        ChannelPair pair;
        openThrough(peers, relay, c.a, c.b, pair);
        ASSERT_GE(pair.a, 0);
        ASSERT_GE(pair.b, 0);
        EXPECT_EQ(runsLossTolerant(pair.a), c.a == CC::LossTolerant);

        std::string payload(2u << 20, '\0');
        std::mt19937 fill(7);
        for (auto& ch : payload) ch = char(fill());
        int timeout = 60000;
        UDT::setsockopt(pair.b, 0, UDT_RCVTIMEO, &timeout, sizeof timeout);
        UDT::setsockopt(pair.a, 0, UDT_RCVTIMEO, &timeout, sizeof timeout);

        // A to B and B to A at once, so each side's control is the sender of one stream.
        auto sendAll = [&payload](int u) {
            for (size_t off = 0; off < payload.size();) {
                int n = UDT::send(u, payload.data() + off, int(std::min<size_t>(payload.size() - off, 65536)), 0);
                if (n == UDT::ERROR) return false;
                off += size_t(n);
            }
            return true;
        };
        auto receiveAll = [&payload](int u) {
            std::string got(payload.size(), '\0');
            for (size_t off = 0; off < got.size();) {
                int n = UDT::recv(u, got.data() + off, int(got.size() - off), 0);
                if (n == UDT::ERROR) break;
                off += size_t(n);
            }
            return got;
        };
        auto sentByA = std::async(std::launch::async, sendAll, pair.a);
        auto sentByB = std::async(std::launch::async, sendAll, pair.b);
        auto atA = std::async(std::launch::async, receiveAll, pair.a);
        std::string atB = receiveAll(pair.b);
        EXPECT_TRUE(sentByA.get());
        EXPECT_TRUE(sentByB.get());
        EXPECT_TRUE(atB == payload);
        EXPECT_TRUE(atA.get() == payload);
        EXPECT_GT(relay.dropped.load(), 0u);
    }
}

}  // namespace
}  // namespace kl::test

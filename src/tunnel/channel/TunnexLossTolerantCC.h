// A UDT congestion control that tells random loss from congestion. UDT's native control slows
// down at every loss event, so on a path that drops 1% of its packets regardless of load it never
// leaves a small fraction of the link. This one paces at a rate that grows by a quarter every round
// trip while the round trip stays near the path's own (and while it is not far above what the
// path recently delivered), and shrinks when the round trip grows while packets are lost (a queue
// overflowing somewhere; a longer round trip alone is often only a busy host) or when a large share of what was sent is reported lost (a path that drops its excess instead
// of queueing it). Scattered loss is repaired by UDT's retransmissions and does not slow it down.
//
// UDT repairs a lost retransmission only when its sender's expiry timer fires (its receiver does
// not repeat loss reports, and stops acknowledging a number the sender has confirmed), after at
// least 300 ms; at a few percent of loss one such wait is nearly always running and the window
// stalls behind it. So while data is unacknowledged the expiry comes after a few round trips,
// doubling at every further expiry up to 150 ms; while all is acknowledged it is UDT's own first.
//
// A receiver that holds its window closed drops the few packets UDT still lets through and says
// nothing when it reads again: the sender learns of the room only when an expiry's retransmission
// is acknowledged. Once such a receiver has heard nothing for 300 ms it sends keep-alives (every
// 300 ms under this control), and each one restarts the sender's wait, since UDT counts it from
// the last packet heard: a wait that had grown past their spacing never ended, and the channel
// stayed silent for seconds after the reader came back. So the wait stays below it. A full peer
// and a dead one then look alike here, and UDT never gives a data channel up by itself: its
// tunnel does, whose main channel keeps UDT's own control and detection of a dead peer and takes
// its data channels down with it; meanwhile the rate sinks to its floor.
//
// It acts on the sending side only: the receiver's acknowledgements and loss reports are UDT's
// own, so a peer with the native control interoperates. Every callback but onPktSent runs on the
// UDT receive thread of the socket's multiplexer; onPktSent runs on its send thread.
#pragma once

#include <udt/ccc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace kl {

class TunnexLossTolerantCC : public CCC {
public:
    TunnexLossTolerantCC();

    void init() override;
    void onACK(int32_t ack) override;
    void onLoss(const int32_t* losses, int size) override;
    void onTimeout() override;
    void onPktSent(const CPacket* packet) override;
    void noteSent(int32_t seq);  // what onPktSent takes from the packet

    int expiryUs() const { return expiryUs_; }  // what UDT's expiry timer waits for now
    double rate() const { return rate_; }       // packets per second
    double period() const { return m_dPktSndPeriod; }  // microseconds between packets

private:
    using Clock = std::chrono::steady_clock;

    void updateMinRtt(Clock::time_point now);
    bool queueBuilding() const;
    void endSample(int64_t sent, int64_t lost, double seconds);
    void applyRate();
    void noteDelivered(double rate);
    double bestDelivered() const;
    void applyExpiry(int32_t ack);
    double activeExpiryUs() const;
    double probeExpiryUs(int n) const;
    void setExpiry(double us);

    // Packets handed to the network, counted on the send thread and read on the receive thread.
    std::atomic<int64_t> sent_{0};
    std::atomic<int32_t> highestSent_{-1};  // sequence number; written on the send thread only

    // The rest is touched on the receive thread only.
    double rate_;  // packets per second
    double minRtt_ = 0.0;  // microseconds
    Clock::time_point minRttStamp_{};
    bool sampling_ = false;
    bool applicationLimited_ = true;  // the last sample used less than half the rate
    Clock::time_point sampleStart_{};
    int64_t sentAtSampleStart_ = 0;
    int64_t lostInSample_ = 0;
    int32_t ackAtSampleStart_ = 0;
    std::array<double, 50> delivered_{};  // acknowledged packets per second, one per sample
    int nextDelivered_ = 0;
    int timeouts_ = 0;  // expiries since the last acknowledgement
    double silentUs_ = 0;        // the expiries' waits since then
    double nextDecreaseUs_ = 0;  // the silence at which the rate falls next
    int expiryUs_ = 0;
};

}  // namespace kl

// A UDT congestion control that tells random loss from congestion. UDT's native control slows
// down at every loss event, so on a path that drops 1% of its packets regardless of load it never
// leaves a small fraction of the link. This one paces at the delivery rate that acknowledgements
// show (the largest of the recent samples, so a few unlucky losses do not lower it), probes above
// it now and then and drains below it after, and keeps in flight twice what the path holds. Loss
// is repaired by UDT's retransmissions, not answered with a slower rate; a growing round trip
// (a queue building up) and a lost contact (UDT's expiry) are what slow it down.
//
// It acts on the sending side only: the receiver's acknowledgements and loss reports are UDT's
// own, so a peer with the native control interoperates. All callbacks run on the UDT receive
// thread of the socket's multiplexer.
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
    void onTimeout() override;
    void onPktSent(const CPacket*) override;

    // Current pacing rate in packets per second (0 while starting up, when only the window counts).
    double pacingRate() const { return pacingRate_; }
    bool startingUp() const { return startingUp_; }

private:
    using Clock = std::chrono::steady_clock;

    enum class Phase { Probe, Drain, Cruise };

    void restart();
    void updateMinRtt(Clock::time_point now);
    double sampleInterval() const;
    void endSample(double delivered, double sent, double seconds);
    void keep(double rate);
    double bestRate() const;
    bool queueBuilding() const;
    void choosePhase(double rate, double bestBefore, bool appLimited);
    void applyRate(double gain);

    static constexpr int kSamples = 10;

    // Packets handed to the network, counted on the send thread and read on the receive thread.
    std::atomic<int64_t> sent_{0};

    // The rest is touched on the receive thread only.
    bool startingUp_ = true;
    bool haveAck_ = false;
    int32_t lastAck_ = 0;
    Clock::time_point sampleStart_{};
    int64_t sampleDelivered_ = 0;
    int64_t sentAtSampleStart_ = 0;

    std::array<double, kSamples> samples_{};  // delivery rates in packets per second
    int nextSample_ = 0;
    double startupBest_ = 0.0;  // best rate when the start-up last grew by a quarter
    int flatSamples_ = 0;

    double minRtt_ = 0.0;  // microseconds
    Clock::time_point minRttStamp_{};
    Phase phase_ = Phase::Drain;
    int cruisePhases_ = 0;
    double pacingRate_ = 0.0;
};

}  // namespace kl

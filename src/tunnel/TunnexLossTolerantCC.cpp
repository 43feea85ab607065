#include "tunnel/TunnexLossTolerantCC.h"

#include <algorithm>

namespace kl {

namespace {

constexpr double kStartWindow = 16.0;       // packets in flight before anything is measured
constexpr double kShortestSampleUs = 20000;  // two of UDT's acknowledgement periods
constexpr double kProbeGain = 1.25;
constexpr double kDrainGain = 0.75;
constexpr double kStartupDrainGain = 0.5;    // empties the queue the start-up's doubling left
constexpr int kCruisePhases = 6;
constexpr int kFlatSamplesToLeaveStartup = 3;
constexpr double kWindowPerPath = 4.0;       // in flight: paths' worth of the best rate
constexpr double kLowestRate = 100.0;        // packets per second
constexpr auto kMinRttLifetime = std::chrono::seconds(10);

// UDT's packet sequence numbers are 31 bits and wrap; the library does not export its helper.
constexpr int32_t kMaxSeqNo = 0x7FFFFFFF;
constexpr int32_t kSeqNoThreshold = 0x3FFFFFFF;

int sequenceOffset(int32_t from, int32_t to) {
    const int64_t difference = int64_t(to) - int64_t(from);
    if (difference > -kSeqNoThreshold && difference < kSeqNoThreshold) return int(difference);
    return int(difference < 0 ? difference + kMaxSeqNo + 1 : difference - kMaxSeqNo - 1);
}

}  // namespace

TunnexLossTolerantCC::TunnexLossTolerantCC() { restart(); }

void TunnexLossTolerantCC::init() { restart(); }

void TunnexLossTolerantCC::restart() {
    startingUp_ = true;
    haveAck_ = false;
    samples_.fill(0.0);
    nextSample_ = 0;
    startupBest_ = 0.0;
    flatSamples_ = 0;
    phase_ = Phase::Drain;
    cruisePhases_ = 0;
    pacingRate_ = 0.0;
    // Only the window limits the start-up; it doubles every round trip as acknowledgements come.
    m_dPktSndPeriod = 1.0;
    m_dCWndSize = kStartWindow;
}

void TunnexLossTolerantCC::onPktSent(const CPacket*) { sent_.fetch_add(1, std::memory_order_relaxed); }

// UDT's expiry: nothing has been heard for several time-outs, so what was measured no longer holds.
void TunnexLossTolerantCC::onTimeout() { restart(); }

void TunnexLossTolerantCC::onACK(int32_t ack) {
    const auto now = Clock::now();
    updateMinRtt(now);
    if (!haveAck_) {
        haveAck_ = true;
        lastAck_ = ack;
        sampleStart_ = now;
        sampleDelivered_ = 0;
        sentAtSampleStart_ = sent_.load(std::memory_order_relaxed);
        return;
    }
    const int delivered = sequenceOffset(lastAck_, ack);
    if (delivered <= 0) return;  // a repeated or older acknowledgement
    lastAck_ = ack;
    sampleDelivered_ += delivered;
    if (startingUp_) m_dCWndSize = std::min(m_dCWndSize + delivered, std::max(m_dMaxCWndSize, kStartWindow));

    const double elapsedUs = std::chrono::duration<double, std::micro>(now - sampleStart_).count();
    if (elapsedUs < sampleInterval()) return;
    const int64_t sentNow = sent_.load(std::memory_order_relaxed);
    endSample(double(sampleDelivered_), double(sentNow - sentAtSampleStart_), elapsedUs / 1e6);
    sampleStart_ = now;
    sampleDelivered_ = 0;
    sentAtSampleStart_ = sentNow;
}

void TunnexLossTolerantCC::updateMinRtt(Clock::time_point now) {
    if (m_iRTT <= 0) return;
    if (minRtt_ <= 0.0 || m_iRTT <= minRtt_ || now - minRttStamp_ > kMinRttLifetime) {
        minRtt_ = m_iRTT;
        minRttStamp_ = now;
    }
}

// A sample spans at least one round trip, so a retransmitted hole delays it rather than zeroes it.
double TunnexLossTolerantCC::sampleInterval() const { return std::max(minRtt_, kShortestSampleUs); }

// The round trip has grown well past the path's own: a queue is filling somewhere.
bool TunnexLossTolerantCC::queueBuilding() const {
    return minRtt_ > 0.0 && m_iRTT > 1.5 * minRtt_ + 2.0 * m_iSYNInterval;
}

void TunnexLossTolerantCC::keep(double rate) {
    samples_[size_t(nextSample_)] = rate;
    nextSample_ = (nextSample_ + 1) % kSamples;
}

double TunnexLossTolerantCC::bestRate() const { return *std::max_element(samples_.begin(), samples_.end()); }

void TunnexLossTolerantCC::endSample(double delivered, double sent, double seconds) {
    const double rate = delivered / seconds;
    const double bestBefore = bestRate();
    if (startingUp_) {
        // Idle stretches say nothing about the path: they neither count as flat nor age the best.
        const bool appLimited = sent < 0.5 * m_dCWndSize * std::min(1.0, seconds * 1e6 / (minRtt_ + m_iSYNInterval));
        if (appLimited && rate <= bestBefore) return;
        keep(rate);
        const double best = bestRate();
        if (best >= 1.25 * startupBest_) {
            startupBest_ = best;
            flatSamples_ = 0;
        } else if (!appLimited) {
            flatSamples_++;
        }
        if (flatSamples_ >= kFlatSamplesToLeaveStartup || queueBuilding() || m_dCWndSize >= m_dMaxCWndSize) {
            startingUp_ = false;
            phase_ = Phase::Drain;
            applyRate(kStartupDrainGain);
        }
        return;
    }
    // A sender that offered far less than the pacing rate learnt nothing about the path, unless it
    // still saw more get through than ever before.
    const bool appLimited = sent < 0.5 * pacingRate_ * seconds;
    if (!appLimited || rate > bestBefore) keep(rate);
    choosePhase(rate, bestBefore, appLimited);
}

// Probe above the best rate for a round trip; while the path keeps up, probe again (so an idle
// start or a freed path is filled quickly); once it does not, drain what the probe queued and
// cruise at the best rate for a few round trips. A growing round trip cuts any probe short.
void TunnexLossTolerantCC::choosePhase(double rate, double bestBefore, bool appLimited) {
    double gain = 1.0;
    switch (phase_) {
    case Phase::Probe:
        if (!appLimited && !queueBuilding() && rate >= 1.1 * bestBefore) {
            gain = kProbeGain;
        } else {
            phase_ = Phase::Drain;
            gain = kDrainGain;
        }
        break;
    case Phase::Drain:
        phase_ = Phase::Cruise;
        cruisePhases_ = 0;
        break;
    case Phase::Cruise:
        if (++cruisePhases_ >= kCruisePhases && !queueBuilding()) {
            phase_ = Phase::Probe;
            gain = kProbeGain;
        } else if (queueBuilding()) {
            gain = kDrainGain;
        }
        break;
    }
    applyRate(gain);
}

void TunnexLossTolerantCC::applyRate(double gain) {
    const double best = std::max(bestRate(), kLowestRate);
    pacingRate_ = gain * best;
    m_dPktSndPeriod = 1e6 / pacingRate_;
    const double pathUs = std::max(minRtt_, 1.0) + 2.0 * m_iSYNInterval;
    m_dCWndSize = std::clamp(kWindowPerPath * best * pathUs / 1e6, kStartWindow, std::max(m_dMaxCWndSize, kStartWindow));
}

}  // namespace kl

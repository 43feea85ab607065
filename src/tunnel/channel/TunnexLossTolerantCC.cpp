#include "tunnel/channel/TunnexLossTolerantCC.h"

#include <udt/packet.h>

#include <algorithm>

namespace kl {

namespace {

constexpr double kStartRate = 1000.0;        // packets per second (about 12 Mbit/s)
constexpr double kLowestRate = 100.0;
constexpr double kIncrease = 1.25;
constexpr double kDecrease = 0.8;
constexpr double kHeadroom = 2.0;  // above the best recent delivery
constexpr double kUnpacedPeriodUs = 1.0;  // UDT's own first period
constexpr double kShortestSampleUs = 20000;  // two of UDT's acknowledgement periods
constexpr double kCongestedLossShare = 0.2;  // far above any random loss worth crossing
constexpr int64_t kFewestPacketsForLossShare = 50;
// In flight: a quarter second's worth of the rate, at least. A lost repair holds the acknowledged
// point until the next expiry while new packets must keep going out.
constexpr double kWindowSeconds = 0.25;
constexpr double kWindowPaths = 4.0;
constexpr double kStartWindow = 16.0;
constexpr auto kMinRttLifetime = std::chrono::seconds(10);
// UDT's own first expiry, and the earliest keep-alive of a peer that hears nothing from us.
constexpr int kUdtExpiryStepUs = 300000;
constexpr int kShortestExpiryUs = 40000;
// Ends before that keep-alive even when both sides check their timers late (UDT does so after
// every packet and at least every 100 ms).
constexpr int kLongestExpiryUs = 150000;
constexpr int kMostDoublings = 10;
constexpr int kMostTimeoutsCounted = 1000;

// UDT's loss reports: a number with the top bit set opens a range whose last member follows.
constexpr int32_t kRangeFlag = int32_t(0x80000000u);
constexpr int64_t kSeqNoSpan = int64_t(0x7FFFFFFF) + 1;

int sequenceOffset(int32_t from, int32_t to) {
    const int64_t difference = int64_t(to) - int64_t(from);
    if (difference > -kSeqNoSpan / 2 && difference < kSeqNoSpan / 2) return int(difference);
    return int(difference < 0 ? difference + kSeqNoSpan : difference - kSeqNoSpan);
}

int32_t nextSequence(int32_t seq) { return seq == 0x7FFFFFFF ? 0 : seq + 1; }

bool sequenceAfter(int32_t a, int32_t b) {
    const int64_t difference = int64_t(a) - int64_t(b);
    return difference > 0 ? difference < kSeqNoSpan / 2 : difference < -kSeqNoSpan / 2;
}

int64_t countLosses(const int32_t* losses, int size) {
    int64_t count = 0;
    for (int i = 0; i < size; i++) {
        if ((losses[i] & kRangeFlag) && i + 1 < size) {
            const int64_t first = losses[i] & ~kRangeFlag, last = losses[i + 1];
            count += (last - first + kSeqNoSpan) % kSeqNoSpan + 1;
            i++;
        } else {
            count++;
        }
    }
    return count;
}

// A UDT keep-alive control packet (header word 0: the control bit and type 1; no payload beyond
// the four bytes UDT always sends), laid out as UDT's own packet class, whose constructor the
// shared library does not export. sendCustomMsg fills in the remote's socket id and sends it over
// the connection's UDP socket.
class KeepAlivePacket {
public:
    KeepAlivePacket() {
        header_[0] = 0x80000000u | (1u << 16);
        vector_[0] = {header_, sizeof header_};
        vector_[1] = {&pad_, sizeof pad_};
    }
    CPacket& packet() { return *reinterpret_cast<CPacket*>(this); }

private:
    // CPacket's reference members, in order: sequence number, message number, time stamp, socket
    // id (header words 0 to 3) and the payload pointer.
    int32_t* seqNo_ = reinterpret_cast<int32_t*>(&header_[0]);
    int32_t* msgNo_ = reinterpret_cast<int32_t*>(&header_[1]);
    int32_t* timeStamp_ = reinterpret_cast<int32_t*>(&header_[2]);
    int32_t* id_ = reinterpret_cast<int32_t*>(&header_[3]);
    char** payload_ = reinterpret_cast<char**>(&vector_[1].iov_base);
    uint32_t header_[4] = {};
    iovec vector_[2]{};
    int32_t pad_ = 0;
};
static_assert(sizeof(KeepAlivePacket) == sizeof(CPacket), "UDT's packet layout changed");

}  // namespace

TunnexLossTolerantCC::TunnexLossTolerantCC() : rate_(kStartRate) { applyRate(); }

void TunnexLossTolerantCC::init() {
    rate_ = kStartRate;
    sampling_ = false;
    applicationLimited_ = true;
    timeouts_ = 0;
    silentUs_ = 0;
    nextDecreaseUs_ = 3.0 * activeExpiryUs();
    delivered_.fill(0.0);

    applyRate();
    setExpiry(kUdtExpiryStepUs);

    // Called once the connection is made. Of a rendezvous, the side whose connect started second
    // completes only at its next handshake repeat, about a quarter of a second after this side,
    // unless a packet of the connection reaches it first. A keep-alive, which carries nothing
    // (a data packet would be dropped), completes it at once; a side already complete ignores it.
    KeepAlivePacket keepAlive;
    sendCustomMsg(keepAlive.packet());
}

void TunnexLossTolerantCC::setExpiry(double us) {
    expiryUs_ = int(us);
    setRTO(expiryUs_);
}

void TunnexLossTolerantCC::onPktSent(const CPacket* packet) { noteSent(packet->m_iSeqNo); }

void TunnexLossTolerantCC::noteSent(int32_t seq) {
    sent_.fetch_add(1, std::memory_order_relaxed);
    const int32_t highest = highestSent_.load(std::memory_order_relaxed);
    if (highest < 0 || sequenceAfter(seq, highest)) highestSent_.store(seq, std::memory_order_relaxed);
}

void TunnexLossTolerantCC::onLoss(const int32_t* losses, int size) {
    if (losses && size > 0) lostInSample_ += countLosses(losses, size);
}

// UDT's expiry with data unacknowledged: it sends all of it again. The first is mostly a lost
// repair, not a smaller path; silence after that slows down as at a growing queue. The waits never
// grow past a live peer's keep-alive spacing (see the header).
void TunnexLossTolerantCC::onTimeout() {
    timeouts_ = std::min(timeouts_ + 1, kMostTimeoutsCounted);
    silentUs_ += expiryUs_;
    setExpiry(probeExpiryUs(timeouts_));
    // Slower at silences that double, as when each expiry waited twice the last: more frequent
    // expiries are no more evidence of a smaller path.
    if (silentUs_ >= nextDecreaseUs_) {
        nextDecreaseUs_ = 2.0 * nextDecreaseUs_ + activeExpiryUs();
        rate_ = std::max(rate_ * kDecrease, kLowestRate);
        applyRate();
    }
}

// The n-th wait after an acknowledgement: doubling from one crossing of the path, and always ending
// before a live peer's keep-alive could restart it.
double TunnexLossTolerantCC::probeExpiryUs(int n) const {
    return std::min(activeExpiryUs() * double(1 << std::min(n, kMostDoublings)), double(kLongestExpiryUs));
}

// Long enough for a loss report and its repair to cross the path, with UDT's acknowledgement delay.
double TunnexLossTolerantCC::activeExpiryUs() const {
    return std::max(2.0 * m_iRTT + 2.0 * m_iSYNInterval, double(kShortestExpiryUs));
}

void TunnexLossTolerantCC::applyExpiry(int32_t ack) {
    timeouts_ = 0;
    silentUs_ = 0;
    nextDecreaseUs_ = 3.0 * activeExpiryUs();  // the end of the second expiry
    const int32_t highest = highestSent_.load(std::memory_order_relaxed);
    const bool allAcknowledged = highest < 0 || ack == nextSequence(highest);
    setExpiry(allAcknowledged ? kUdtExpiryStepUs : probeExpiryUs(0));
}

void TunnexLossTolerantCC::onACK(int32_t ack) {
    const auto now = Clock::now();
    updateMinRtt(now);
    applyExpiry(ack);
    const int64_t sentNow = sent_.load(std::memory_order_relaxed);
    if (!sampling_) {
        sampling_ = true;
        sampleStart_ = now;
        sentAtSampleStart_ = sentNow;
        ackAtSampleStart_ = ack;
        lostInSample_ = 0;
        return;
    }
    const double elapsedUs = std::chrono::duration<double, std::micro>(now - sampleStart_).count();
    if (elapsedUs < std::max(minRtt_, kShortestSampleUs)) return;
    const double seconds = elapsedUs / 1e6;
    noteDelivered(double(std::max(sequenceOffset(ackAtSampleStart_, ack), 0)) / seconds);
    endSample(sentNow - sentAtSampleStart_, lostInSample_, seconds);
    sampleStart_ = now;
    sentAtSampleStart_ = sentNow;
    ackAtSampleStart_ = ack;
    lostInSample_ = 0;
}

void TunnexLossTolerantCC::noteDelivered(double rate) {
    delivered_[size_t(nextDelivered_)] = rate;
    nextDelivered_ = (nextDelivered_ + 1) % int(delivered_.size());
}

// The best of about a second of samples: a repaired hole releases a burst of acknowledgements
// after a stretch of none, so single samples both under- and overstate the path.
double TunnexLossTolerantCC::bestDelivered() const {
    return std::max(*std::max_element(delivered_.begin(), delivered_.end()), kStartRate);
}

void TunnexLossTolerantCC::updateMinRtt(Clock::time_point now) {
    if (m_iRTT <= 0) return;
    if (minRtt_ <= 0.0 || m_iRTT <= minRtt_ || now - minRttStamp_ > kMinRttLifetime) {
        minRtt_ = m_iRTT;
        minRttStamp_ = now;
    }
}

// The round trip has grown well past the path's own: a queue is filling somewhere.
bool TunnexLossTolerantCC::queueBuilding() const {
    return minRtt_ > 0.0 && m_iRTT > minRtt_ + std::max(0.25 * minRtt_, 5000.0);
}

void TunnexLossTolerantCC::endSample(int64_t sent, int64_t lost, double seconds) {
    applicationLimited_ = double(sent) < 0.5 * rate_ * seconds;
    const bool manyLost = sent >= kFewestPacketsForLossShare && double(lost) > kCongestedLossShare * double(sent);
    // A longer round trip alone is no sign of a full queue: a busy host delays acknowledgements by
    // milliseconds, and slowing at each such delay sank the rate to its floor on a loaded machine.
    // A queue that overflows loses packets as well, and only then is the longer round trip believed.
    if (manyLost || (queueBuilding() && lost > 0)) {
        rate_ = std::max(rate_ * kDecrease, kLowestRate);
    } else if (!applicationLimited_) {
        // Only a sender that used its rate learnt that the path takes it; and it goes no further
        // above what the path recently delivered than twice that (a receiver that drops what it
        // cannot take in shows neither a queue nor, at once, losses).
        rate_ = std::min(rate_ * kIncrease, std::max(kHeadroom * bestDelivered(), rate_));
    }
    applyRate();
}

// A sender with little to say is not paced: UDT holds a socket for the period after each packet,
// and its send thread, once asleep, wakes up to 10 ms late, so every small message that followed
// another within the period waited for milliseconds. It sends no more than its window then.
void TunnexLossTolerantCC::applyRate() {
    m_dPktSndPeriod = applicationLimited_ ? kUnpacedPeriodUs : 1e6 / rate_;
    const double pathSeconds = (std::max(minRtt_, 1.0) + 2.0 * m_iSYNInterval) / 1e6;
    const double window = rate_ * std::max(kWindowPaths * pathSeconds, kWindowSeconds);
    m_dCWndSize = std::clamp(window, kStartWindow, std::max(m_dMaxCWndSize, kStartWindow));
}

}  // namespace kl

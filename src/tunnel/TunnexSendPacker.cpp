#include "tunnel/TunnexSendPacker.h"

#include <cstring>

#include "foundation/KLTLogging.h"

namespace kl {

TunnexSendPacker::TunnexSendPacker() : sendBuffer_(new uint8_t[kPackBufferSize]) {}

bool TunnexSendPacker::decidePacking(size_t n, bool wasPacking, double elapsed) const {
    if (bufferSentLastRound_ && wasPacking) return true;
    // A write larger than the buffer is never copied into it: it goes out on its own.
    if (n > kPackBufferSize) return false;
    if (n > 1) return elapsed < kPackInterval;
    // A single byte (typed input) goes out at once; a flush never starts packing.
    return false;
}

void TunnexSendPacker::append(std::span<const uint8_t> data) {
    if (!data.empty()) std::memcpy(sendBuffer_.get() + sendBufferIndex_, data.data(), data.size());
    sendBufferIndex_ += data.size();
}

bool TunnexSendPacker::sendBuffer(const SendStep& send) {
    bool sent = send(std::span<const uint8_t>(sendBuffer_.get(), sendBufferIndex_));
    sendBufferIndex_ = 0;
    return sent;
}

TunnexSendPacker::Outcome TunnexSendPacker::sendIfNearlyFull(const SendStep& send) {
    if (kPackBufferSize - sendBufferIndex_ > kPackNearlyFull) return {true, true};
    bool sent = sendBuffer(send);
    bufferSentLastRound_ = true;
    return {sent, false};
}

TunnexSendPacker::Outcome TunnexSendPacker::write(std::span<const uint8_t> data, double now, const SendStep& send) {
    double elapsed = now - lastSendTime_;
    bool wasPacking = usingPackMode_;
    size_t n = data.size();
    if (n > kPackBufferSize) {
        KLLog(kKLTLoggingLevelError, "received more data than we are configured to handle (%lu > %d)",
              static_cast<unsigned long>(n), int(kPackBufferSize));
    }
    bool pack = decidePacking(n, wasPacking, elapsed);
    usingPackMode_ = pack;
    bufferSentLastRound_ = false;
    lastSendTime_ = now;

    if (!wasPacking && !pack) return {n == 0 || send(data), false};
    if (!wasPacking && pack) {
        sendBufferIndex_ = 0;
        append(data);
        return sendIfNearlyFull(send);
    }
    if (pack) {
        if (sendBufferIndex_ + n > kPackBufferSize) {
            bool flushed = sendBuffer(send);
            bufferSentLastRound_ = true;
            if (!flushed) return {false, false};  // the channel is failing: this write is dropped
        }
        append(data);
        return sendIfNearlyFull(send);
    }
    // Leaving pack mode: what the buffer holds goes first, then this write.
    if (sendBufferIndex_ + n > kPackBufferSize) {
        bool sent = sendBufferIndex_ == 0 || sendBuffer(send);
        // A failed buffer send ends the channel; sending the newer bytes after lost older ones
        // would only hand the remote a stream with a hole in it.
        if (!sent) return {false, false};
        return {n == 0 || send(data), false};
    }
    append(data);
    return {sendBuffer(send), false};
}

}  // namespace kl

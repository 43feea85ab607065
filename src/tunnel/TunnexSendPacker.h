// The pack-mode decision of a data channel's sends, free of I/O: small writes that follow each
// other within kPackInterval are gathered in a 2 MiB buffer and go out as one send, either when
// the buffer comes within kPackNearlyFull of full or when a delayed flush finds the writes have
// paused. Isolated writes and single bytes go out at once.
//
// The caller feeds each write (or an empty span for a flush) with the current time and a send
// step; one packer belongs to one socket and is used only from that socket's send queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace kl {

inline constexpr size_t kPackBufferSize = 2'097'152;
inline constexpr double kPackInterval = 0.015;         // seconds between writes that still pack
inline constexpr size_t kPackNearlyFull = 32'768;      // free bytes at which the buffer is sent

class TunnexSendPacker {
public:
    // Encrypts and sends bytes; false when the send failed.
    using SendStep = std::function<bool(std::span<const uint8_t>)>;
    struct Outcome {
        bool sent;            // the write's result
        bool scheduleFlush;   // bytes wait in the buffer: flush them after kPackInterval
    };

    TunnexSendPacker();

    // One write (an empty span is a flush) at time now (seconds).
    Outcome write(std::span<const uint8_t> data, double now, const SendStep& send);
    // True when a flush scheduled earlier is still due: no write came within kPackInterval.
    bool flushDue(double now) const { return now - lastSendTime_ > kPackInterval; }

    bool usingPackMode() const { return usingPackMode_; }
    bool bufferSentLastRound() const { return bufferSentLastRound_; }
    size_t bufferedBytes() const { return sendBufferIndex_; }
    double lastSendTime() const { return lastSendTime_; }

private:
    bool decidePacking(size_t n, bool wasPacking, double elapsed) const;
    void append(std::span<const uint8_t> data);
    // Sends the whole buffer and empties it.
    bool sendBuffer(const SendStep& send);
    // After appending: wait for more while there is room, else send the buffer now.
    Outcome sendIfNearlyFull(const SendStep& send);

    std::unique_ptr<uint8_t[]> sendBuffer_;  // kPackBufferSize bytes
    size_t sendBufferIndex_ = 0;
    bool usingPackMode_ = false;
    // The previous write sent the buffer because it was (nearly) full: the next one keeps packing.
    bool bufferSentLastRound_ = false;
    double lastSendTime_ = 0;
};

}  // namespace kl

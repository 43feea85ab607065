// How a data channel gathers its writes into sends, free of I/O. A write with nothing queued
// behind it goes out at once, together with whatever was gathered before it; writes that have
// more waiting behind them (a bulk transfer outrunning the channel) are gathered in a 2 MiB buffer
// and sent as one when the buffer comes within kPackNearlyFull of full. So an interactive write is
// never held back, and a stream keeps its large batches, with no timer.
//
// Every send hands the step the packer's own buffer, which the step may change in place (it
// encrypts there, so the bytes are copied once on their way to UDT). One packer belongs to one
// socket and is used only from that socket's send queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace kl {

inline constexpr size_t kPackBufferSize = 2'097'152;
inline constexpr size_t kPackNearlyFull = 32'768;  // free bytes at which the buffer is sent
// A write the caller gives up at least this long is a batch of its own: sent where it lies.
inline constexpr size_t kPackDirectMinimum = 65'536;

class TunnexSendPacker {
public:
    // Encrypts the bytes in place and sends them; false when the send failed.
    using SendStep = std::function<bool(std::span<uint8_t>)>;

    TunnexSendPacker();

    // One write (empty: only send what is gathered). moreWaiting: further writes are queued behind
    // this one. False when a send failed; the bytes gathered then are dropped with it, since the
    // channel cannot go on with a hole in its stream.
    bool write(std::span<const uint8_t> data, bool moreWaiting, const SendStep& send);
    // The same for bytes the caller gives up: a long write is not copied but sent (and so
    // encrypted) in the caller's buffer, after whatever was gathered before it.
    bool writeOwned(std::span<uint8_t> data, bool moreWaiting, const SendStep& send);

    size_t bufferedBytes() const { return bufferedBytes_; }

private:
    // Sends the whole buffer and empties it.
    bool sendBuffer(const SendStep& send);

    std::unique_ptr<uint8_t[]> buffer_;  // kPackBufferSize bytes
    size_t bufferedBytes_ = 0;
};

}  // namespace kl

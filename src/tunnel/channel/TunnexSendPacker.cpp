#include "tunnel/channel/TunnexSendPacker.h"

#include <algorithm>
#include <cstring>

namespace kl {

TunnexSendPacker::TunnexSendPacker() : buffer_(new uint8_t[kPackBufferSize]) {}

bool TunnexSendPacker::sendBuffer(const SendStep& send) {
    const size_t length = bufferedBytes_;
    bufferedBytes_ = 0;
    return length == 0 || send(std::span<uint8_t>(buffer_.get(), length));
}

bool TunnexSendPacker::write(std::span<const uint8_t> data, bool moreWaiting, const SendStep& send) {
    size_t offset = 0;
    while (offset < data.size()) {
        const size_t take = std::min(kPackBufferSize - bufferedBytes_, data.size() - offset);
        std::memcpy(buffer_.get() + bufferedBytes_, data.data() + offset, take);
        bufferedBytes_ += take;
        offset += take;
        // A write larger than the buffer goes out in buffer-sized pieces.
        if (kPackBufferSize - bufferedBytes_ <= kPackNearlyFull && !sendBuffer(send)) return false;
    }
    if (moreWaiting) return true;
    return sendBuffer(send);
}

bool TunnexSendPacker::writeOwned(std::span<uint8_t> data, bool moreWaiting, const SendStep& send) {
    if (data.size() < kPackDirectMinimum) return write(data, moreWaiting, send);
    return sendBuffer(send) && send(data);
}

}  // namespace kl

#include "screen/rtp/RTPFragments.h"

#include <algorithm>

namespace kl {

std::optional<std::vector<RTPFragment>> fragmentRTPPayload(std::span<const uint8_t> payload) {
    const size_t count = (payload.size() + kRTPFragmentPayload - 1) / kRTPFragmentPayload;
    if (count > kRTPMaxFragments) return std::nullopt;
    std::vector<RTPFragment> fragments(count);
    for (size_t i = 0; i < count; ++i) {
        auto part = payload.subspan(i * kRTPFragmentPayload,
                                    std::min(kRTPFragmentPayload, payload.size() - i * kRTPFragmentPayload));
        RTPFragment& f = fragments[i];
        f.datagram.reserve(2 + part.size());
        f.datagram.push_back(uint8_t(i));
        f.datagram.push_back(uint8_t(count));
        f.datagram.insert(f.datagram.end(), part.begin(), part.end());
        f.marker = i == 0;
        f.timestampIncrement = part.size() < kRTPFragmentPayload ? kRTPTimestampIncrement : 0;
    }
    return fragments;
}

}  // namespace kl

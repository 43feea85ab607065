// How one RTP frame's payload is cut into datagrams: each carries [index, count, up to 6000
// payload bytes]; the first has the RTP marker; a fragment shorter than 6000 payload bytes (the
// frame's last, unless the payload is a whole number of full fragments) advances the timestamp
// by 50000 after it is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/Value.h"

namespace kl {

inline constexpr size_t kRTPFragmentPayload = 6000;
inline constexpr size_t kRTPMaxFragments = 255;  // the count travels in one byte
inline constexpr uint32_t kRTPTimestampIncrement = 50000;
inline constexpr uint8_t kRTPPayloadType = 125;

struct RTPFragment {
    Bytes datagram;  // the RTP payload: index, count, then the fragment's bytes
    bool marker = false;
    uint32_t timestampIncrement = 0;
};

// The fragments of a payload in order (none for an empty payload); nothing when the payload
// needs more than 255 fragments.
std::optional<std::vector<RTPFragment>> fragmentRTPPayload(std::span<const uint8_t> payload);

}  // namespace kl

#include "screen/protocol/ClientMessages.h"

#include "screen/protocol/ClientHandshake.h"
#include "screen/protocol/ScreenProtocol.h"
#include "screen/protocol/ScreenWireReader.h"

namespace kl {

ClientMessageScan scanClientMessage(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return {ClientMessageScan::NeedMore, 1};
    auto whole = [&](ClientMessageScan::Kind kind, size_t length) {
        return bytes.size() < length ? ClientMessageScan{ClientMessageScan::NeedMore, length}
                                     : ClientMessageScan{kind, length};
    };
    switch (bytes[0]) {
        case kClientHandshakeMsg: return whole(ClientMessageScan::Handshake, clientHandshakeLength(bytes));
        case kClientHeartBeatMsg: return whole(ClientMessageScan::HeartBeat, kClientHeartBeatSize);
        case kUpdateRequestMsg: return {ClientMessageScan::UpdateRequest, 1};
        default: return {ClientMessageScan::Skip, 1};
    }
}

std::optional<uint64_t> readBusyTakeOverReply(std::span<const uint8_t> bytes) {
    const ScreenWireReader in(bytes);
    if (!in.fits(kBusyTakeOverReplySize)) return std::nullopt;
    return in.u64(0);
}

}  // namespace kl

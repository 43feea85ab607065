// What the viewer sends on the main channel: the handshake, heartbeats and update requests, and
// the 8-byte take-over answer to a busy message. Any other byte is skipped on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace kl {

struct ClientMessageScan {
    enum Kind {
        NeedMore,       // length = total bytes to hold before asking again
        Skip,           // an unknown byte: drop it (length 1) and go on with the next
        Handshake,      // readClientHandshake of the first length bytes
        HeartBeat,      // 9 bytes, read and discarded
        UpdateRequest,  // the type byte alone
    };
    Kind kind = NeedMore;
    size_t length = 1;
};

// Classifies the message at the start of bytes (the bytes received and not yet consumed).
ClientMessageScan scanClientMessage(std::span<const uint8_t> bytes);

// The identifier a viewer sends to take over from the connected one; nothing when short.
std::optional<uint64_t> readBusyTakeOverReply(std::span<const uint8_t> bytes);

}  // namespace kl

// libFuzzer target over what a remote viewer sends the screen service: the main channel's
// message scan with the stepwise handshake reader, and the input-sideband datagrams. Built by
// hand (tests/fuzz/build-screen), not in CI.
//
// Input: the first byte picks the path (even: main channel, odd: one datagram), the rest is the
// bytes. Besides memory errors it traps when a reader's answer contradicts the layout: a message
// that does not advance, a handshake whose length is not one of its step sizes, a datagram
// accepted shorter than its type's fields.
#include <cstdint>
#include <span>

#include "screen/protocol/ClientHandshake.h"
#include "screen/protocol/ClientMessages.h"
#include "screen/protocol/InputDatagrams.h"

namespace {

using namespace kl;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void mainChannel(std::span<const uint8_t> stream) {
    while (!stream.empty()) {
        const ClientMessageScan scan = scanClientMessage(stream);
        if (scan.kind == ClientMessageScan::NeedMore) {
            check(scan.length > stream.size());
            // The reader must refuse what is short, however it is cut.
            check(!readClientHandshake(stream) || stream[0] != 1);
            return;
        }
        check(scan.length >= 1 && scan.length <= stream.size());
        if (scan.kind == ClientMessageScan::Handshake) {
            auto handshake = readClientHandshake(stream);
            check(handshake.has_value());
            check(handshake->length == scan.length);
            const size_t hashes = handshake->iconHashes.size();
            check(hashes == handshake->message.capabilities.iconHashCount);
            const size_t record = handshake->length - 16 * hashes;
            check(record == 5 || record == 105 || record == 109);
            check(record == 109 || handshake->message.requestedDisplaySize == DisplaySizeRequest{});
            // Read again from exactly its own bytes: the same message.
            auto again = readClientHandshake(stream.first(scan.length));
            check(again && again->length == scan.length && again->iconHashes == handshake->iconHashes);
        }
        stream = stream.subspan(scan.length);
    }
}

// The fewest bytes each datagram type's fields take, written out apart from the reader.
size_t fewestBytes(std::span<const uint8_t> d) {
    switch (d[0]) {
        case 2: return 6;
        case 3: {
            if (d.size() < 2) return 2;
            const uint8_t kind = d[1];
            return kind <= 1 ? 7 : kind == 4 ? 5 : kind <= 5 ? 9 : 2;
        }
        case 5: case 8: return 17;
        case 6: return 6;
        case 7: return 13;
        default: return SIZE_MAX;
    }
}

void datagram(std::span<const uint8_t> bytes) {
    const InputDatagramRead read = readInputDatagram(bytes);
    if (bytes.empty()) {
        check(!read && read.refusal == InputDatagramRead::Empty);
        return;
    }
    const size_t fewest = fewestBytes(bytes);
    check(bool(read) == (bytes.size() >= fewest));
    if (!read) {
        check(!read.refusalText().empty());
        return;
    }
    if (const auto* tap = std::get_if<TapEventMessage>(&*read.datagram)) {
        check(tap->modifiers.has_value() == (bytes.size() == 8));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    if (data[0] & 1) {
        datagram(bytes);
    } else {
        mainChannel(bytes);
    }
    return 0;
}

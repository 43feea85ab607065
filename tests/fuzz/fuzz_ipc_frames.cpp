// libFuzzer target over the local IPC transport's reading side: a byte stream cut into frames as a
// session reads it (in pieces of the sizes the first input byte picks), and frame bodies alone.
// Every frame that decodes must encode again.
#include <cstdint>
#include <span>
#include <string>

#include "foundation/ipc/IPCWire.h"

using namespace kl::ipc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = size_t(data[0]) + 1;
    std::span<const uint8_t> stream(data + 1, size - 1);

    (void)decodeFrameBody(stream);

    FrameReader reader;
    for (size_t at = 0; at < stream.size(); at += piece) {
        size_t n = std::min(piece, stream.size() - at);
        reader.append(stream.data() + at, n);
        for (;;) {
            Frame frame;
            std::string error;
            auto status = reader.next(frame, error);
            if (status == FrameReader::Status::Bad) return 0;
            if (status == FrameReader::Status::NeedMore) break;
            if (!encodeFrame(frame.kind, frame.requestId, frame.body)) __builtin_trap();
        }
    }
    return 0;
}

#include "screen/encoder/EncoderOutput.h"

#include <limits>

#include "foundation/KLNetSocket.h"

namespace kl {

void SocketOutput::write(std::span<const uint8_t> bytes) {
    if (!mSocket) return;
    // sendBytes takes a 32-bit length; no record comes near it, but never truncate silently.
    while (!bytes.empty()) {
        size_t chunk = std::min<size_t>(bytes.size(), std::numeric_limits<uint32_t>::max());
        if (!mSocket->sendBytes(bytes.data(), uint32_t(chunk))) return;
        bytes = bytes.subspan(chunk);
    }
}

}  // namespace kl

#include "screen/server/BusyTakeOver.h"

#include "screen/protocol/ScreenProtocol.h"
#include "screen/server/ViewerConnectionCore.h"

namespace kl {

bool runBusyExchange(KLNetSocket& socket, uint64_t attachedClientId, std::chrono::milliseconds limit) {
    BusyExchange exchange = startBusyExchange(attachedClientId);
    if (!socket.sendBytes(exchange.busyMessage.data(), uint32_t(exchange.busyMessage.size()))) return false;
    if (!exchange.awaitTakeOverReply) return false;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    Bytes reply;
    while (reply.size() < 8) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        // A read gives up after kReadLimitSeconds / kReadStepSeconds steps without data: size the
        // step so that one byte's wait ends by the deadline.
        KLNetSocket::Timing timing = socket.timing();
        timing.readWaitStep = std::max(std::chrono::milliseconds(1),
                                       left / (KLNetSocket::kReadLimitSeconds / KLNetSocket::kReadStepSeconds));
        socket.setTiming(timing);
        uint8_t byte = 0;
        if (!socket.getClientBytes(&byte, 1)) return false;
        reply.push_back(byte);
    }
    return takesOver(attachedClientId, reply);
}

}  // namespace kl

// The exchange with a second viewer while one is connected: it is sent the busy message with the
// connected viewer's id, and may take the connection over by echoing that id (when nonzero). The
// whole exchange is bounded, so a second viewer that stays silent or dribbles bytes cannot hold up
// the thread that runs it; it never runs on the main loop.
#pragma once

#include <chrono>
#include <cstdint>

#include "foundation/KLNetSocket.h"

namespace kl {

inline constexpr std::chrono::milliseconds kBusyExchangeLimit{5000};

// true when the newcomer on socket echoed attachedClientId in time; the caller closes the socket
// otherwise. The socket's read timing is changed for the exchange.
bool runBusyExchange(KLNetSocket& socket, uint64_t attachedClientId,
                     std::chrono::milliseconds limit = kBusyExchangeLimit);

}  // namespace kl

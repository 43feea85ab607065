// Hands each control request to its handler by its "command" number, with the dispatch log lines;
// numbers nobody serves are logged and left unanswered.
#pragma once

#include "foundation/ipc/klipc.h"

namespace kl {

// Runs on the main loop. sender is the connection the request came on.
void dispatchControlRequest(klipc_object_t request, klipc_connection_t sender);

}  // namespace kl

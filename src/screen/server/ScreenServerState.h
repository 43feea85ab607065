// The states of the screen service's one viewer connection. Updates are produced only while
// Streaming; a failed activation parks the connection in Disconnecting until it ends.
#pragma once

#include <cstdint>

namespace kl {

enum class ScreenServerState : int {
    Uninitialised = 0,
    Stopped = 1,
    WaitingForViewer = 2,
    ResolvingDisplayMode = 3,
    Reconfiguring = 4,
    Streaming = 5,
    Disconnecting = 6,
};

}  // namespace kl

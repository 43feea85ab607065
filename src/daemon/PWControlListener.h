// The daemon's listener on the control socket: takes control-app connections into the connection
// table and moves every event onto the main loop, where it is handled under the watchdog alarm.
#pragma once

#include <cstdint>
#include <optional>

#include "foundation/ipc/klipc.h"

namespace kl {

class MainLoop;

struct PWControlListenerOptions {
    // A handler that runs this long ends the process (SIGALRM is left at its default action), so
    // that the service manager starts a fresh daemon.
    unsigned watchdogSeconds = 120;
    // Test hook: the handling of this command number blocks until the watchdog fires.
    std::optional<uint64_t> stallCommand;
};

class PWControlListener {
public:
    PWControlListener(MainLoop& loop, PWControlListenerOptions options);
    ~PWControlListener();
    PWControlListener(const PWControlListener&) = delete;
    PWControlListener& operator=(const PWControlListener&) = delete;

    // false (and "Error creating ipc listener" logged) when no listener could be made.
    bool start();
    void stop();

private:
    void acceptConnection(klipc_connection_t connection);
    void handleConnectionEvent(klipc_connection_t connection, KLIPCMessageType type, klipc_object_t object);

    MainLoop& loop_;
    PWControlListenerOptions options_;
    klipc_connection_t listener_ = nullptr;
};

}  // namespace kl

// The daemon's listener on the control socket: takes control-app connections into the connection
// table and moves every event onto the main loop, where it is handled under the watchdog alarm.
#pragma once

#include <cstdint>
#include <memory>
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
    // What the IPC handlers use: shared with them, so that an event that arrives while the listener
    // is being torn down still finds it.
    struct Shared {
        MainLoop* loop;
        PWControlListenerOptions options;
    };
    static void acceptConnection(const std::shared_ptr<Shared>& shared, klipc_connection_t connection);
    static void handleConnectionEvent(const Shared& shared, klipc_connection_t connection, KLIPCMessageType type,
                                      klipc_object_t object);

    std::shared_ptr<Shared> shared_;
    klipc_connection_t listener_ = nullptr;
};

}  // namespace kl

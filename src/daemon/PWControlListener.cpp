#include "daemon/PWControlListener.h"

#include <unistd.h>

#include "daemon/PWControlAppConnections.h"
#include "daemon/PWControlDispatcher.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCNameTables.h"
#include "platform/Executors.h"

namespace kl {

PWControlListener::PWControlListener(MainLoop& loop, PWControlListenerOptions options)
    : shared_(std::make_shared<Shared>(Shared{&loop, options})) {}

PWControlListener::~PWControlListener() { stop(); }

bool PWControlListener::start() {
    listener_ = klipc_connection_create_listener(kPWControlServiceName, nullptr);
    if (!listener_) {
        KLLog(kKLTLoggingLevelError, "Error creating ipc listener");
        return false;
    }
    std::shared_ptr<Shared> shared = shared_;
    klipc_connection_set_event_handler(listener_, [shared](KLIPCMessageType type, klipc_object_t object) {
        KLLog(kKLTLoggingLevelDebug, "Daemon Listener: type = %s", CFStringFromIPCMessageType(type));
        switch (type) {
            case KLIPC_LISTENER_NEW_CONNECTION: {
                KLLog(kKLTLoggingLevelDebug, "Listener: got connection");
                klipc_connection_t connection = klipc_retain(object);
                shared->loop->post([shared, connection] {
                    acceptConnection(shared, connection);
                    klipc_release(connection);
                });
                break;
            }
            case KLIPC_ERROR_CONNECTION_INVALID: KLLog(kKLTLoggingLevelError, "Listener: Connection invalid"); break;
            case KLIPC_ERROR_CONNECTION_INTERRUPTED:
                KLLog(kKLTLoggingLevelError, "Listener: Connection interrupted");
                break;
            default: KLLog(kKLTLoggingLevelError, "Listener: Unknown object"); break;
        }
    });
    klipc_connection_resume(listener_);
    return true;
}

void PWControlListener::stop() {
    if (!listener_) return;
    klipc_connection_cancel(listener_);
    klipc_release(listener_);
    listener_ = nullptr;
}

void PWControlListener::acceptConnection(const std::shared_ptr<Shared>& shared, klipc_connection_t connection) {
    controlAppConnections().connectionAccepted(connection);
    // The handler keeps no reference of its own: an active connection keeps itself alive until its
    // invalid event, which is its last.
    klipc_connection_set_event_handler(connection, [shared, connection](KLIPCMessageType type, klipc_object_t object) {
        klipc_object_t held = type == KLIPC_OK ? klipc_retain(object) : nullptr;
        klipc_retain(connection);
        shared->loop->post([shared, connection, type, held] {
            handleConnectionEvent(*shared, connection, type, held);
            klipc_release(held);
            klipc_release(connection);
        });
    });
    klipc_connection_resume(connection);
}

void PWControlListener::handleConnectionEvent(const Shared& shared, klipc_connection_t connection,
                                              KLIPCMessageType type, klipc_object_t object) {
    const PWControlListenerOptions& options = shared.options;
    ::alarm(options.watchdogSeconds);
    if (type == KLIPC_OK) {
        if (options.stallCommand && klipc_dictionary_get_uint64(object, kPWKeyCommand) == *options.stallCommand) {
            KLLog(kKLTLoggingLevelError, "Stalling command %llu for the watchdog test",
                  (unsigned long long)*options.stallCommand);
            for (;;) ::pause();
        }
        dispatchControlRequest(object, connection);
    } else if (type == KLIPC_ERROR_CONNECTION_INVALID) {
        if (auto live = controlAppConnections().connectionInvalidated(connection))
            KLLog(kKLTLoggingLevelDebug, "Event handler: Connection count dropped to %u", *live);
    }
    ::alarm(0);
}

}  // namespace kl

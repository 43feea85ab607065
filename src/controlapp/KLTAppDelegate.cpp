#include "controlapp/KLTAppDelegate.h"

#include <sys/random.h>

#include "controlapp/KLIPCReading.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCNameTables.h"
#include "platform/AdminRule.h"
#include "platform/Executors.h"

namespace kl {

std::shared_ptr<KLTAppDelegate> KLTAppDelegate::create(Options options) {
    return std::shared_ptr<KLTAppDelegate>(new KLTAppDelegate(std::move(options)));
}

KLTAppDelegate::KLTAppDelegate(Options options) : options_(std::move(options)) { resetGenericAuthorization(); }

KLTAppDelegate::~KLTAppDelegate() {
    if (daemonConnection_) {
        klipc_connection_cancel(daemonConnection_);
        klipc_release(daemonConnection_);
    }
}

bool KLTAppDelegate::createDaemonConnection() {
    if (daemonConnection_) return true;
    klipc_connection_t connection = klipc_connection_create_client(kPWControlServiceName, nullptr, true);
    if (!connection) {
        KLLog(kKLTLoggingLevelError, "Couldn't create daemon connection");
        return false;
    }
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    // The connection is compared by address only, never used from the handler once it is gone.
    klipc_connection_set_event_handler(connection, [weak, connection](KLIPCMessageType type, klipc_object_t object) {
        if (auto self = weak.lock()) self->handleEvent(connection, type, object);
    });
    klipc_connection_resume(connection);
    daemonConnection_ = connection;
    return true;
}

void KLTAppDelegate::cancelDaemonConnection() {
    if (daemonConnection_) {
        KLLog(kKLTLoggingLevelInfo, "Cancelling daemon connection");
        klipc_connection_cancel(daemonConnection_);
        klipc_release(daemonConnection_);
        daemonConnection_ = nullptr;
    }
    setDaemonState(ePWDaemonStateNotCheckedIn);
}

void KLTAppDelegate::handleEvent(klipc_connection_t connection, KLIPCMessageType type, klipc_object_t object) {
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    switch (type) {
    case KLIPC_ERROR_CONNECTION_INTERRUPTED:
        KLLog(kKLTLoggingLevelError, "Daemon connection interrupted");
        mainLoop().post([weak] {
            auto self = weak.lock();
            if (self && self->daemonState() == ePWDaemonStateCheckedIn) self->setDaemonState(ePWDaemonStateInterrupted);
        });
        break;
    case KLIPC_ERROR_CONNECTION_INVALID:
        KLLog(kKLTLoggingLevelError, "Daemon connection invalid");
        mainLoop().post([weak, connection] {
            auto self = weak.lock();
            if (self && self->daemonConnection_ == connection) self->cancelDaemonConnection();
        });
        break;
    case KLIPC_OK:
        handleDaemonMessage(connection, object);
        break;
    default:
        break;
    }
}

void KLTAppDelegate::handleDaemonMessage(klipc_connection_t connection, klipc_object_t message) {
    uint64_t command = klipc_dictionary_get_uint64(message, kPWKeyCommand);
    if (command == 0) {
        KLLog(kKLTLoggingLevelDebug, "COMMAND:0. Value couldn't be read from dictionary; ignore");
        return;
    }
    const char* name = CFStringFromDaemonToControlAppCommand(command);
    // Work for the main loop keeps the message until it ran.
    auto onMain = [this, message](std::function<void(KLTAppDelegate&, klipc_object_t)> work) {
        std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
        mainLoop().post([weak, held = ipcRef(message), work = std::move(work)] {
            if (auto self = weak.lock()) work(*self, held.get());
        });
    };
    switch (command) {
    case ePWDaemonToControlAppCommandConnectedChanged:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t m) { self.updateConnectionStateFromMessage(m); });
        break;
    case ePWDaemonToControlAppCommandSignedInChanged:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t m) { self.updateSignInStateFromMessage(m); });
        break;
    case ePWDaemonToControlAppCommandSharingEnabledChanged:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t m) {
            self.sharingEnabled = klipc_dictionary_get_bool(m, "sharingEnabled");
        });
        break;
    case ePWDaemonToControlAppCommandQuit:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t) { self.withViews([](auto& v) { v.terminate(); }); });
        break;
    case ePWDaemonToControlAppCommandRestart:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t) { self.withViews([](auto& v) { v.relaunch(); }); });
        break;
    case ePWDaemonToControlAppCommandHostsChanged:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        // Asked on the connection that reported the change: the current connection belongs to the
        // main loop and this runs on the IPC queue.
        pullCurrentHostsOn(connection);
        break;
    case ePWDaemonToControlAppCommandHostDeleted:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", name);
        onMain([](KLTAppDelegate& self, klipc_object_t) {
            self.updateSignInState(0);
            self.withViews([](auto& v) { v.chooseSignInView(); });
        });
        break;
    case ePWDaemonToControlAppCommandConnectionStatus:
        KLLog(kKLTLoggingLevelDebug, "COMMAND: ePWDaemonToControlAppCommandConnectionStatus");
        handleConnectionStatus(message);
        break;
    default:
        KLLog(kKLTLoggingLevelDebug, "COMMAND:Unhandled COMMAND.");
        break;
    }
}

void KLTAppDelegate::sendWithReply(klipc_connection_t connection, klipc_object_t message,
                                   std::function<void(KLTAppDelegate&, KLIPCMessageType, klipc_object_t)> handler) {
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    klipc_connection_send_message_with_reply(connection, message, klipc_queue_main(),
                                             [weak, handler = std::move(handler)](KLIPCMessageType type, klipc_object_t reply) {
                                                 if (auto self = weak.lock()) handler(*self, type, reply);
                                             });
}

void KLTAppDelegate::checkInWithDaemon() {
    IPCRef message = ipcAdopt(createDaemonConnection() ? klipc_dictionary_create() : nullptr);
    if (!message) {
        setDaemonState(ePWDaemonStateNotCheckedIn);
        return;
    }
    klipc_dictionary_set_uint64(message.get(), kPWKeyCommand, ePWControlAppToDaemonCommandCheckIn);
    klipc_dictionary_set_string(message.get(), "controlapp_bundlepath", options_.bundlePath.c_str());
    klipc_dictionary_set_bool(message.get(), "turnonAX", true);
    KLLog(kKLTLoggingLevelDebug, "checkInWithDaemon: kPWKeyCommand, %s",
          CFStringFromControlAppToDaemonCommand(ePWControlAppToDaemonCommandCheckIn));
    sendWithReply(daemonConnection_, message.get(), [](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t reply) {
        self.handleCheckInReply(type, reply);
    });
    setDaemonState(ePWDaemonStateTryingCheckin);
}

void KLTAppDelegate::handleCheckInReply(KLIPCMessageType type, klipc_object_t reply) {
    KLLog(kKLTLoggingLevelDebug, "checkInWithDaemon Reply: %s", CFStringFromIPCMessageType(type));
    // A reply that comes after the wait gave up (or after a cancel) is only logged.
    if (daemonState() != ePWDaemonStateTryingCheckin) return;
    doingDaemonUpgrade = false;
    if (type == KLIPC_ERROR_CONNECTION_INVALID) {
        setDaemonState(ePWDaemonStateNotCheckedIn);
        return;
    }
    if (type != KLIPC_OK) return;
    updateConnectionStateFromMessage(reply);
    updateSignInStateFromMessage(reply);
    sharingEnabled = klipc_dictionary_get_bool(reply, "sharingEnabled");
    daemonBuildTimeInterval = klipc_dictionary_get_double(reply, "buildDate");
    if (auto version = ipcString(reply, "version")) daemonVersion = version;
    if (auto revision = ipcString(reply, "revision")) daemonRevision = revision;
    setDaemonState(ePWDaemonStateCheckedIn);
    if (auto version = ipcString(reply, "tunnexVersion")) tunnexVersion = version;
}

void KLTAppDelegate::updateConnectionStateFromMessage(klipc_object_t message) {
    connectedToClient = klipc_dictionary_get_bool(message, "connected");
    clientAddress = connectedToClient ? ipcString(message, "connectionAddress") : std::nullopt;
    withViews([](auto& v) { v.updateUIState(); });
}

void KLTAppDelegate::updateSignInStateFromMessage(klipc_object_t message) {
    updateSignInState(uint32_t(klipc_dictionary_get_uint64(message, kPWKeyRegistrarState)));
}

void KLTAppDelegate::updateSignInStateWithSignInResult(uint32_t result) {
    updateSignInState(result == 0 ? 1 : result <= 3 ? 0 : result);
}

void KLTAppDelegate::updateSignInState(uint32_t state) {
    if (state == registrarState_) return;
    setRegistrarState(state);
    if (state == 1) {
        requestHostUpdateFromPortweaver();
        withViews([](auto& v) { v.chooseAccountDetails(); });
        bool visible = false;
        withViews([&](auto& v) { visible = v.mainWindowVisible(); });
        if (visible) shouldRequestHostUpdates(true);
    } else if (state == 0) {
        if (options_.servicesManager) options_.servicesManager->didSignOut();
        withViews([](auto& v) { v.chooseSignInView(); });
    }
}

void KLTAppDelegate::setRegistrarState(uint32_t state) {
    if (registrarState_ == 0 && state == 2) return;
    registrarState_ = state;
    registrarStateChanged.emit(state);
}

bool KLTAppDelegate::checkGenericAuthorization() const { return isAdministrator(::geteuid()); }

void KLTAppDelegate::resetGenericAuthorization() {
    genericAuthorization_.assign(kPWAuthorizationSize, 0);
    // Opaque to the daemon, which judges the peer's credentials; random so that it names nothing.
    if (::getrandom(genericAuthorization_.data(), genericAuthorization_.size(), 0) != ssize_t(kPWAuthorizationSize))
        KLLog(kKLTLoggingLevelInfo, "Authorization item left blank");
}

void KLTAppDelegate::addAuthorization(klipc_object_t message, const char* operation) const {
    if (genericAuthorization_.size() != kPWAuthorizationSize) {
        KLLog(kKLTLoggingLevelError, "%s:passed authorization is nil", operation);
        return;
    }
    klipc_dictionary_set_data(message, "authorization", genericAuthorization_.data(), genericAuthorization_.size());
}

}  // namespace kl

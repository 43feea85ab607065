// The commands the control app sends to the daemon, with the handling of their replies.
#include <condition_variable>
#include <mutex>

#include "controlapp/KLIPCReading.h"
#include "controlapp/KLTAppDelegate.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCNameTables.h"
#include "platform/Executors.h"

namespace kl {

namespace {

IPCRef commandMessage(uint64_t command) {
    IPCRef message = ipcAdopt(klipc_dictionary_create());
    klipc_dictionary_set_uint64(message.get(), kPWKeyCommand, command);
    return message;
}

const char* tunnelStatusName(int64_t status) {
    static const char* const names[] = {"TunnexTunnelDisconnected", "TunnexTunnelQueueing", "TunnexTunnelInviting",
                                        "TunnexTunnelConnecting",   "TunnexTunnelEncrypting", "TunnexTunnelConnected"};
    return status >= 0 && status < 6 ? names[status] : "";
}

}  // namespace

std::vector<std::string> splitAccountErrors(const std::string& text) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        auto bar = text.find('|', start);
        pieces.push_back(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return pieces;
        start = bar + 1;
    }
}

void KLTAppDelegate::sendSimpleDaemonCommand(uint64_t command, bool withAuthorization) {
    if (!createDaemonConnection()) return;
    IPCRef message = commandMessage(command);
    if (withAuthorization) addAuthorization(message.get(), "sendSimpleDaemonCommand");
    KLLog(kKLTLoggingLevelDebug, "sendSimpleDaemonCommand: kPWKeyCommand, %s", CFStringFromControlAppToDaemonCommand(command));
    klipc_connection_send_message(daemonConnection_, message.get());
}

bool KLTAppDelegate::sendAuthorizedCommandToDaemonAndWaitForReply(uint64_t command) {
    if (!checkGenericAuthorization()) {
        KLLog(kKLTLoggingLevelError, "Error obtaining install right");
        return false;
    }
    // Without a connection no reply can ever come: fail now rather than freeze the app for 15 s.
    if (!daemonConnection_) {
        KLLog(kKLTLoggingLevelError, "Uninstall/PrepareForUpgrade failed:no daemon connection");
        return false;
    }
    struct Exchange {
        std::mutex mutex;
        std::condition_variable done;
        bool replied = false;
        bool succeeded = false;
    };
    auto exchange = std::make_shared<Exchange>();
    IPCRef message = commandMessage(command);
    addAuthorization(message.get(), "sendAuthorizedCommandToDaemonAndWaitForReply");
    KLLog(kKLTLoggingLevelDebug, "sendAuthorizedCommandToDaemonAndWaitForReply: kPWKeyCommand, %s",
          CFStringFromControlAppToDaemonCommand(command));
    klipc_connection_send_message_with_reply(daemonConnection_, message.get(), klipc_queue_global(),
                                             [exchange](KLIPCMessageType type, klipc_object_t reply) {
                                                 std::lock_guard lock(exchange->mutex);
                                                 if (type == KLIPC_OK)
                                                     exchange->succeeded = klipc_dictionary_get_bool(reply, "succeeded");
                                                 exchange->replied = true;
                                                 exchange->done.notify_all();
                                             });
    bool succeeded = false;
    {
        std::unique_lock lock(exchange->mutex);
        if (!exchange->done.wait_for(lock, kPWBlockingExchangeTimeout, [&] { return exchange->replied; })) {
            KLLog(kKLTLoggingLevelError, "Timed out waiting for daemon to uninstall/prepareForUpgrade");
            return false;
        }
        succeeded = exchange->succeeded;
    }
    if (!succeeded) {
        KLLog(kKLTLoggingLevelError, "Daemon failed to uninstall/prepareForUpgrade");
        return false;
    }
    cancelDaemonConnection();
    return true;
}

void KLTAppDelegate::trySignInWithEmail(const std::string& email, const std::string& password,
                                        SignInCompletion completion) {
    if (!createDaemonConnection()) return;
    KLLog(kKLTLoggingLevelDebug, "trySignInWithEmail: kPWKeyCommand, ePWControlAppToDaemonCommandSignIn");
    IPCRef message = commandMessage(ePWControlAppToDaemonCommandSignIn);
    klipc_dictionary_set_string(message.get(), "email", email.c_str());
    klipc_dictionary_set_string(message.get(), "password", password.c_str());
    sendWithReply(daemonConnection_, message.get(),
                  [completion = std::move(completion)](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t reply) {
                      if (type != KLIPC_OK) {
                          KLLog(kKLTLoggingLevelError, "trySignInWithEmail: kPWRegistrarSignInUnknownFailure");
                          if (completion) completion(3, std::nullopt);
                          self.updateSignInState(0);
                      } else {
                          KLLog(kKLTLoggingLevelDebug, "trySignInWithEmail: KLIPC_OK");
                          auto result = uint32_t(klipc_dictionary_get_uint64(reply, "registrarSignInResult"));
                          self.updateSignInStateWithSignInResult(result);
                          std::optional<std::string> error;
                          if (result == 1) error = ipcString(reply, "registrarSignInError");
                          if (completion) completion(result, error);
                      }
                      self.requestHostUpdateFromPortweaver();
                  });
}

void KLTAppDelegate::createAccountWithEmail(const std::string& email, const std::string& password,
                                            CreateAccountCompletion completion) {
    if (!createDaemonConnection()) return;
    KLLog(kKLTLoggingLevelDebug, "createAccountWithEmail: kPWKeyCommand, ePWControlAppToDaemonCommandCreateAccount");
    IPCRef message = commandMessage(ePWControlAppToDaemonCommandCreateAccount);
    klipc_dictionary_set_string(message.get(), "email", email.c_str());
    klipc_dictionary_set_string(message.get(), "password", password.c_str());
    sendWithReply(daemonConnection_, message.get(),
                  [completion = std::move(completion)](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t reply) {
                      if (type != KLIPC_OK) {
                          KLLog(kKLTLoggingLevelError, "trySignInWithEmail: kPWRegistrarSignInUnknownFailure");
                          if (completion) completion(3, std::nullopt);
                          return;
                      }
                      KLLog(kKLTLoggingLevelDebug, "createAccountWithEmail: KLIPC_OK");
                      uint64_t result = klipc_dictionary_get_uint64(reply, "registrarSignInResult");
                      std::optional<std::map<std::string, std::vector<std::string>>> errors;
                      if (result != 0) {
                          errors.emplace();
                          (*errors)["email"] = splitAccountErrors(ipcStringOrEmpty(reply, "registrarCreateAccountEmailErrors"));
                          (*errors)["password"] =
                              splitAccountErrors(ipcStringOrEmpty(reply, "registrarCreateAccountPasswordErrors"));
                      }
                      if (completion) completion(result, std::move(errors));
                  });
}

void KLTAppDelegate::signoutRequest() {
    if (!createDaemonConnection()) return;
    klipc_connection_send_message(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandSignOut).get());
    updateSignInState(0);
}

void KLTAppDelegate::tellDaemonToTellControlAppsToQuitOrRestart(bool quit) {
    if (!daemonConnection_) return;
    IPCRef message = commandMessage(quit ? ePWControlAppToDaemonCommandAskOtherControlAppsToQuit
                                         : ePWControlAppToDaemonCommandAskOtherControlAppsToRestart);
    addAuthorization(message.get(), "tellDaemonToTellControlAppsToQuitOrRestart");
    klipc_connection_send_message(daemonConnection_, message.get());
}

void KLTAppDelegate::updateSignInState() {
    if (!daemonConnection_) return;
    sendWithReply(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandSignInState).get(),
                  [](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t reply) {
                      if (type != KLIPC_OK) {
                          self.updateSignInState(0);
                          return;
                      }
                      auto state = uint32_t(klipc_dictionary_get_uint64(reply, kPWKeyRegistrarState));
                      static const char* const names[] = {"NotSignedIn", "SignedIn", "SignedInOffline"};
                      KLLog(kKLTLoggingLevelDebug, "ePWControlAppToDaemonCommandSignInState: state = %s",
                            state < 3 ? names[state] : "unknown");
                      self.updateSignInState(state);
                  });
}

void KLTAppDelegate::beginHostNotifications() {
    if (daemonConnection_)
        klipc_connection_send_message(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandBeginReportingHosts).get());
}

void KLTAppDelegate::endHostNotifications() {
    if (daemonConnection_)
        klipc_connection_send_message(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandEndReportingHosts).get());
}

void KLTAppDelegate::pullCurrentHosts() { pullCurrentHostsOn(daemonConnection_); }

void KLTAppDelegate::pullCurrentHostsOn(klipc_connection_t connection) {
    if (!connection) return;
    sendWithReply(connection, commandMessage(ePWControlAppToDaemonCommandReportHosts).get(),
                  [](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t reply) { self.handleHostsReply(type, reply); });
}

void KLTAppDelegate::handleHostsReply(KLIPCMessageType type, klipc_object_t reply) {
    auto& services = options_.servicesManager;
    if (type == KLIPC_ERROR_CONNECTION_INVALID && services) services->removeAllHostItems();
    if (type == KLIPC_OK) {
        KLLog(kKLTLoggingLevelInfo, "Successfully pulled hosts from daemon");
        if (services) services->removeAllHostItems();
        klipc_object_t hosts = klipc_dictionary_get_value(reply, "hosts_array");
        size_t count = klipc_array_get_count(hosts);
        for (size_t i = 0; i < count; ++i) {
            klipc_object_t host = klipc_array_get_value(hosts, i);
            if (!klipc_object_is_dict(host)) continue;
            Dictionary record;
            for (const char* key : {"name", "service_names", "id", "model_number", "nickname", "uuid", "remote_addresses"})
                record.set(key, Value(ipcStringOrEmpty(host, key)));
            record.set("status", Value(int64_t(int32_t(klipc_dictionary_get_int64(host, "status")))));
            record.set(kPWKeyTunnexConnectionStatus, Value(klipc_dictionary_get_int64(host, kPWKeyTunnexConnectionStatus)));
            if (services) services->registerHostItemWithPWDictionary(Value(std::move(record)));
        }
        std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
        mainLoop().post([weak] {
            if (auto self = weak.lock()) self->remotesDidUpdate.emit();
        });
    }
    withViews([](auto& v) { v.updateUIState(); });
}

void KLTAppDelegate::handleConnectionStatus(klipc_object_t message) {
    auto uuid = ipcString(message, kPWKeyUUID);
    if (!uuid) return;
    int64_t status = klipc_dictionary_get_int64(message, kPWKeyTunnexConnectionStatus);
    KLLog(kKLTLoggingLevelInfo, "Received connection status for: (%s) (%s)", uuid->c_str(), tunnelStatusName(status));
    if (options_.servicesManager) options_.servicesManager->updateStatus(int32_t(status), *uuid);
    // The views belong to the main loop; this runs on the IPC queue.
    std::weak_ptr<KLTAppDelegate> weak = weak_from_this();
    mainLoop().post([weak] {
        if (auto self = weak.lock()) self->withViews([](auto& v) { v.updateUIState(); });
    });
}

void KLTAppDelegate::deleteHostWithID(const std::string& hostID, DeleteHostCompletion completion) {
    if (!daemonConnection_) return;
    IPCRef message = commandMessage(ePWControlAppToDaemonCommandDeleteHost);
    klipc_dictionary_set_string(message.get(), "id", hostID.c_str());
    sendWithReply(daemonConnection_, message.get(),
                  [completion = std::move(completion)](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t reply) {
                      if (type != KLIPC_OK || !completion) return;
                      if (klipc_dictionary_get_bool(reply, "succeeded")) {
                          completion(true, std::nullopt);
                          return;
                      }
                      Dictionary error;
                      error.set("errorCode", Value(klipc_dictionary_get_uint64(reply, "errorCode")));
                      error.set("errorDescription", Value(ipcStringOrEmpty(reply, "errorDescription")));
                      error.set("errorFailureReason", Value(ipcStringOrEmpty(reply, "errorFailureReason")));
                      completion(false, std::move(error));
                  });
}

void KLTAppDelegate::savedEmailAddressWithCompletionBlock(StringCompletion completion) {
    if (!daemonConnection_) return;
    sendWithReply(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandReportEmailAddress).get(),
                  [completion = std::move(completion)](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t reply) {
                      if (type == KLIPC_OK && completion) completion(ipcStringOrEmpty(reply, "email"));
                  });
}

void KLTAppDelegate::startFileSharingManager() {
    sendSimpleDaemonCommand(ePWControlAppToDaemonCommandStartFollowingServiceUpdates, true);
}

void KLTAppDelegate::stopFileSharingManager() {
    sendSimpleDaemonCommand(ePWControlAppToDaemonCommandStopFollowingServiceUpdates, true);
}

void KLTAppDelegate::URLForUUID(const std::string& uuid, const std::string& serviceType, const std::string& username,
                                StringCompletion completion) {
    if (uuid.empty() || serviceType.empty() || !daemonConnection_) return;
    IPCRef message = commandMessage(ePWControlAppToDaemonCommandRequestURLforService);
    klipc_dictionary_set_string(message.get(), "uuid", uuid.c_str());
    klipc_dictionary_set_string(message.get(), "serviceType", serviceType.c_str());
    klipc_dictionary_set_string(message.get(), "username", username.c_str());
    sendWithReply(daemonConnection_, message.get(),
                  [completion = std::move(completion)](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t reply) {
                      if (type != KLIPC_OK || !completion) return;
                      if (auto url = ipcString(reply, "serviceURLString")) completion(*url);
                  });
}

void KLTAppDelegate::sendUUIDCommand(uint64_t command, const std::string& uuid, ReplyCompletion completion) {
    if (uuid.empty() || !daemonConnection_) return;
    IPCRef message = commandMessage(command);
    klipc_dictionary_set_string(message.get(), kPWKeyUUID, uuid.c_str());
    sendWithReply(daemonConnection_, message.get(),
                  [completion = std::move(completion)](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t) {
                      if (type == KLIPC_OK && completion) completion(0, Dictionary{});
                  });
}

void KLTAppDelegate::connectWithUUID(const std::string& uuid, ReplyCompletion completion) {
    sendUUIDCommand(ePWControlAppToDaemonCommandConnectWithUUID, uuid, std::move(completion));
}

void KLTAppDelegate::disconnectWithUUID(const std::string& uuid, ReplyCompletion completion) {
    sendUUIDCommand(ePWControlAppToDaemonCommandDisconnectWithUUID, uuid, std::move(completion));
}

void KLTAppDelegate::shouldRequestHostUpdates(bool should) {
    if (registrarState_ != 1 || !createDaemonConnection()) return;
    IPCRef message = commandMessage(ePWControlAppToDaemonCommandSetHostUpdateState);
    klipc_dictionary_set_bool(message.get(), "shouldRequestHosts", should);
    sendWithReply(daemonConnection_, message.get(), [should](KLTAppDelegate&, KLIPCMessageType type, klipc_object_t) {
        if (type == KLIPC_ERROR_CONNECTION_INVALID)
            KLLog(kKLTLoggingLevelError, "Error setting shouldRequestHostUpdates: Daemon connection invalid");
        else if (type == KLIPC_OK)
            KLLog(kKLTLoggingLevelDebug, "Successfully set shouldRequestHostUpdates: %s", should ? "YES" : "NO");
    });
}

void KLTAppDelegate::requestHostUpdateFromPortweaver() {
    if (registrarState_ != 1 || !createDaemonConnection()) return;
    sendWithReply(daemonConnection_, commandMessage(ePWControlAppToDaemonCommandRequestHostUpdate).get(),
                  [](KLTAppDelegate& self, KLIPCMessageType type, klipc_object_t) {
                      if (type == KLIPC_ERROR_CONNECTION_INVALID && self.options_.servicesManager)
                          self.options_.servicesManager->removeAllHostItems();
                      else if (type == KLIPC_OK)
                          KLLog(kKLTLoggingLevelInfo, "Successfully requested host update from Portweaver");
                  });
}

}  // namespace kl

#include "daemon/KLTDaemonManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "daemon/PWControlAppConnections.h"
#include "daemon/PWControlProtocol.h"
#include "daemon/PWInstalledFiles.h"
#include "foundation/KLTLogging.h"
#include "platform/AdminRule.h"
#include "platform/Executors.h"
#include "platform/NotifyBus.h"
#include "platform/Paths.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

namespace {

std::mutex& managerLock() {
    static std::mutex lock;
    return lock;
}
KLTDaemonManager::Environment& pendingEnvironment() {
    static auto* environment = new KLTDaemonManager::Environment;
    return *environment;
}
std::shared_ptr<KLTDaemonManager>& sharedSlot() {
    static auto* slot = new std::shared_ptr<KLTDaemonManager>;
    return *slot;
}

void logCommand(uint64_t command) {
    KLLog(kKLTLoggingLevelDebug, "COMMAND: %s", std::string(controlAppToDaemonCommandName(command)).c_str());
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

const char* stringOrEmpty(const std::string& text) { return text.c_str(); }

// A request is answered only while its connection is there to take the reply.
bool canReply(klipc_object_t request) { return klipc_dictionary_get_remote_connection(request) != nullptr; }

void sendMessage(uint64_t command, klipc_connection_t except) {
    klipc_object_t message = klipc_dictionary_create();
    if (!message) return;
    klipc_dictionary_set_uint64(message, kPWKeyCommand, command);
    SendMessageToControlApps(message, except);
    klipc_release(message);
}

}  // namespace

bool CheckAuthorization(klipc_object_t request, klipc_connection_t sender) {
    size_t length = 0;
    const void* item = klipc_dictionary_get_data(request, "authorization", &length);
    if (!item || length != 32) {
        KLLog(kKLTLoggingLevelError, "Event handler: Couldn't get auth data");
        return false;
    }
    // The item keeps its shape for the control apps; the right itself is the peer's: root or an
    // administrator, as the kernel reports the uid of the socket's other end.
    uid_t uid = sender ? klipc_connection_get_euid(sender) : uid_t(-1);
    if (uid == uid_t(-1) || !isAdministrator(uid)) {
        KLLog(kKLTLoggingLevelError, "Event handler: Couldn't get rights: %ld", long(uid));
        return false;
    }
    return true;
}

void KLTDaemonManager::setEnvironment(Environment environment) {
    std::lock_guard lock(managerLock());
    pendingEnvironment() = std::move(environment);
}

std::shared_ptr<KLTDaemonManager> KLTDaemonManager::sharedManager() {
    std::shared_ptr<KLTDaemonManager> manager;
    {
        std::lock_guard lock(managerLock());
        if (sharedSlot()) return sharedSlot();
        manager = std::make_shared<KLTDaemonManager>(pendingEnvironment());
        sharedSlot() = manager;
    }
    TunnexRemoteManager::sharedInstance()->setDelegate(manager);
    return manager;
}

bool KLTDaemonManager::sharedManagerExists() {
    std::lock_guard lock(managerLock());
    return sharedSlot() != nullptr;
}

KLTDaemonManager::KLTDaemonManager(Environment environment) : environment_(std::move(environment)) {}

PWRegistrarSignInState KLTDaemonManager::registrarState() const {
    return environment_.accountClient ? environment_.accountClient->signInState() : PWRegistrarSignedOut;
}

void KLTDaemonManager::controlAppCheckInWithDictionary(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandCheckIn);
    if (const char* path = klipc_dictionary_get_string(request, "controlapp_bundlepath")) {
        currentControlAppBundlePath_ = path;
        KLLog(kKLTLoggingLevelInfo, "ControlApp told us it's bundle path is: %s", path);
    }
    // The accessibility interface needs no switch on this system; the wish is only noted.
    if (klipc_dictionary_get_bool(request, "turnonAX")) KLLog(kKLTLoggingLevelDebug, "AX was turned on");

    const PWDaemonBuildInfo& build = environment_.build;
    PWRegistrarSignInState state = registrarState();
    klipc_send_reply(request, [&](klipc_object_t reply) {
        klipc_dictionary_set_bool(reply, "sharingEnabled", sharingEnabled_);
        klipc_dictionary_set_string(reply, "version", build.version.c_str());
        klipc_dictionary_set_string(reply, "revision", build.revision.c_str());
        if (build.buildDate) klipc_dictionary_set_double(reply, "buildDate", *build.buildDate - kSecondsFrom1970To2001);
        uint32_t v = TunnexPeer::version();
        std::string tunnex = std::to_string((v >> 16) & 0xff) + "." + std::to_string((v >> 8) & 0xff) + "." +
                             std::to_string(v & 0xff);
        klipc_dictionary_set_string(reply, "tunnexVersion", tunnex.c_str());
        klipc_dictionary_set_uint64(reply, kPWKeyRegistrarState, state);
    });
}

void KLTDaemonManager::signIn(klipc_object_t request, bool createAccount) {
    const char* email = klipc_dictionary_get_string(request, "email");
    const char* password = klipc_dictionary_get_string(request, "password");
    klipc_retain(request);
    std::weak_ptr<KLTDaemonManager> weak = weak_from_this();
    auto completion = [weak, request, createAccount](PWRegistrarSignInResult result, const PWSignInFailure& failure) {
        klipc_send_reply(request, [&](klipc_object_t reply) {
            klipc_dictionary_set_uint64(reply, "registrarSignInResult", result);
            if (result == PWRegistrarSignInSuccess) return;
            if (!createAccount) {
                if (failure.text) klipc_dictionary_set_string(reply, "registrarSignInError", failure.text->c_str());
                return;
            }
            if (!failure.emailErrors.empty())
                klipc_dictionary_set_string(reply, "registrarCreateAccountEmailErrors",
                                            joined(failure.emailErrors, "|").c_str());
            if (!failure.passwordErrors.empty())
                klipc_dictionary_set_string(reply, "registrarCreateAccountPasswordErrors",
                                            joined(failure.passwordErrors, "|").c_str());
        });
        klipc_release(request);
        if (auto self = weak.lock()) {
            self->reportingHosts_ = true;
            self->postRegistrarDidUpdateRemotesNotification();
        }
    };
    auto client = environment_.accountClient;
    if (!client) {
        completion(PWRegistrarSignInUnknownFailure, PWSignInFailure{std::string("No account client"), {}, {}});
        return;
    }
    // Without both texts there is nothing to send: a credential failure, and the server is not asked.
    if (!email || !password) {
        completion(PWRegistrarSignInCredentialFailure, PWSignInFailure{});
        return;
    }
    if (createAccount)
        client->createAccountWithEmail(email, password, completion);
    else
        client->signInWithEmail(email, password, completion);
}

void KLTDaemonManager::signOut(klipc_object_t) {
    KLLog(kKLTLoggingLevelDebug, "%s entered", "signOut:");
    logCommand(ePWControlAppToDaemonCommandSignOut);
    KLLog(kKLTLoggingLevelInfo, "Signing out from Port Weaver");
    if (auto client = environment_.accountClient) {
        if (client->isUpdatingRemoteHosts()) client->endUpdatingRemoteHosts();
        client->signOut();
        client->removeStoredCredentials();
    }
    reportingHosts_ = false;
    if (environment_.accountClient) environment_.accountClient->didUpdateRemotes.emit();
}

void KLTDaemonManager::uninstall(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandUninstall);
    klipc_connection_t sender = klipc_dictionary_get_remote_connection(request);
    // Removing the system is as privileged as upgrading it: anyone else gets false and changes
    // nothing, not even the sign-in.
    if (!CheckAuthorization(request, sender)) {
        if (!klipc_send_reply(request, [](klipc_object_t reply) { klipc_dictionary_set_bool(reply, "succeeded", false); }))
            KLLog(kKLTLoggingLevelError, "Event handler: Couldn't reply");
        return;
    }
    if (auto client = environment_.accountClient) {
        client->reportHostUnavailable();
        if (client->isUpdatingRemoteHosts()) client->endUpdatingRemoteHosts();
        if (client->signInState() == PWRegistrarSignedIn) {
            client->signOut();
            TunnexRemoteManager::sharedInstance()->disconnectFromAllPeers();
        }
        client->removeStoredCredentials();
    }
    if (environment_.stopRelays) environment_.stopRelays();
    if (environment_.servicesManager) environment_.servicesManager->endReportingServicesAvailability();
    if (!canReply(request)) {
        KLLog(kKLTLoggingLevelError, "Event handler: Couldn't reply");
        return;
    }
    bool succeeded = removeInstalledFiles(PWInstalledFiles::current());
    klipc_send_reply(request, [succeeded](klipc_object_t reply) { klipc_dictionary_set_bool(reply, "succeeded", succeeded); });
    if (succeeded) removeOurJobAfterReply(request, kKLTLoggingLevelInfo);
}

void KLTDaemonManager::prepareForUpgrade(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandPrepareForUpgrade);
    klipc_connection_t sender = klipc_dictionary_get_remote_connection(request);
    if (!canReply(request)) {
        KLLog(kKLTLoggingLevelError, "Event handler: Couldn't reply");
        return;
    }
    // Only an authorised peer may stop the daemon for an upgrade: anyone else would be able to
    // take the system down with one request, so it is told false and nothing happens.
    bool authorized = CheckAuthorization(request, sender);
    if (authorized) removeInstalledProgram(PWInstalledFiles::current());
    klipc_send_reply(request, [authorized](klipc_object_t reply) { klipc_dictionary_set_bool(reply, "succeeded", authorized); });
    if (authorized) removeOurJobAfterReply(request, kKLTLoggingLevelDebug);
}

void KLTDaemonManager::removeOurJobAfterReply(klipc_object_t request, int logLevel) {
    klipc_connection_t connection = klipc_dictionary_get_remote_connection(request);
    MainLoop* loop = environment_.loop;
    klipc_connection_send_barrier(connection, [logLevel, loop] {
        KLLog(KLTLoggingLevel(logLevel), "Removing daemon job");
        if (UnloadOurLaunchdJob() == 0) return;
        // Nobody manages this process: it ends itself, now that the reply is on its way.
        if (!runBySystemd() && loop) loop->post([loop] { loop->stop(); });
    });
}

void KLTDaemonManager::askOthers(klipc_object_t request, klipc_connection_t sender, uint64_t command) {
    if (!CheckAuthorization(request, sender)) return;
    sendMessage(command, sender);
}

void KLTDaemonManager::askOtherControlAppsToQuit(klipc_object_t request, klipc_connection_t sender) {
    logCommand(ePWControlAppToDaemonCommandAskOtherControlAppsToQuit);
    askOthers(request, sender, ePWDaemonToControlAppCommandQuit);
}

void KLTDaemonManager::askOtherControlAppsToRestart(klipc_object_t request, klipc_connection_t sender) {
    logCommand(ePWControlAppToDaemonCommandAskOtherControlAppsToRestart);
    askOthers(request, sender, ePWDaemonToControlAppCommandRestart);
}

std::string simulatedConnectionRequestFile() {
    return paths::system("/tmp/com.kelvaro.portweaver.service").string();
}

void KLTDaemonManager::simulateConnectionRequest(klipc_object_t) {
    logCommand(ePWControlAppToDaemonCommandSimulateConnectionRequest);
    std::string path = simulatedConnectionRequestFile();
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    // Not truncated: a longer old content keeps its tail, as readers of the first 14 bytes expect.
    // The folder is everybody's, so a name planted there must not make root write elsewhere: no
    // link is followed, and only a regular file with one name is written.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        KLLog(kKLTLoggingLevelError, "Creating file returned %d errstr %s", errno, std::strerror(errno));
        return;
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        KLLog(kKLTLoggingLevelError, "Refusing to write %s: not a regular file of one link", path.c_str());
        ::close(fd);
        return;
    }
    static constexpr char kAddress[] = "127.0.0.1:7001";
    if (::pwrite(fd, kAddress, sizeof kAddress - 1, 0) != ssize_t(sizeof kAddress - 1))
        KLLog(kKLTLoggingLevelError, "Writing file returned %d errstr %s", errno, std::strerror(errno));
    ::close(fd);
    NotifyBus::post(kPWConnectionRequestNotification, NotifyBus::Scope::System);
}

void KLTDaemonManager::signInState(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandSignInState);
    if (!canReply(request)) return;
    PWRegistrarSignInState state = registrarState();
    klipc_send_reply(request, [&](klipc_object_t reply) { klipc_dictionary_set_uint64(reply, kPWKeyRegistrarState, state); });
}

void KLTDaemonManager::beginReportingHosts(klipc_object_t) {
    logCommand(ePWControlAppToDaemonCommandBeginReportingHosts);
    reportingHosts_ = true;
    reportHostsChanged();
}

void KLTDaemonManager::endReportingHosts(klipc_object_t) {
    logCommand(ePWControlAppToDaemonCommandEndReportingHosts);
    reportingHosts_ = false;
}

void KLTDaemonManager::reportHosts(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandReportHosts);
    if (!canReply(request)) {
        KLLog(kKLTLoggingLevelError, "Event handler: Couldn't reply");
        return;
    }
    std::vector<PWRemoteServiceRecord> records;
    if (environment_.accountClient) records = environment_.accountClient->remoteServiceRecords();
    auto tunnels = TunnexRemoteManager::sharedInstance();
    bool sent = klipc_send_reply(request, [&](klipc_object_t reply) {
        if (records.empty()) return;
        KLLog(kKLTLoggingLevelDebug, "ePWControlAppToDaemonCommandReportHosts, sHosts.count = %lu",
              (unsigned long)records.size());
        klipc_object_t hosts = klipc_array_create();
        for (const auto& record : records) {
            klipc_object_t host = klipc_dictionary_create();
            klipc_dictionary_set_string(host, "name", stringOrEmpty(record.displayName));
            klipc_dictionary_set_int64(host, "status", record.status);
            klipc_dictionary_set_string(host, "service_names", stringOrEmpty(record.type));
            klipc_dictionary_set_string(host, "id", stringOrEmpty(record.serverID));
            klipc_dictionary_set_string(host, "model_number", stringOrEmpty(record.modelNumber));
            klipc_dictionary_set_string(host, "nickname", stringOrEmpty(record.nickname));
            klipc_dictionary_set_string(host, "uuid", stringOrEmpty(record.uuid));
            klipc_dictionary_set_int64(host, kPWKeyTunnexConnectionStatus,
                                       int64_t(tunnels->connectionStatusForUUID(record.uuid)));
            klipc_array_append_value(hosts, host);
            klipc_release(host);
        }
        klipc_dictionary_set_value(reply, "hosts_array", hosts);
        klipc_release(hosts);
    });
    if (!sent) KLLog(kKLTLoggingLevelError, "Event handler: Couldn't reply");
}

void KLTDaemonManager::deleteHost(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandDeleteHost);
    if (!canReply(request)) return;
    const char* id = klipc_dictionary_get_string(request, "id");
    klipc_retain(request);
    auto completion = [request](bool succeeded, const std::optional<PWRequestError>& error) {
        klipc_send_reply(request, [&](klipc_object_t reply) {
            klipc_dictionary_set_bool(reply, "succeeded", succeeded);
            klipc_dictionary_set_uint64(reply, "errorCode", error ? error->code : 0);
            klipc_dictionary_set_string(reply, "errorDescription", error ? error->description.c_str() : "");
            klipc_dictionary_set_string(reply, "errorFailureReason", error ? error->failureReason.c_str() : "");
        });
        klipc_release(request);
    };
    if (!environment_.accountClient) {
        completion(false, PWRequestError{3, "Not signed in", "There is no account client."});
        return;
    }
    environment_.accountClient->deleteHostWithServerID(id ? id : "", completion);
}

void KLTDaemonManager::reportEmailAddress(klipc_object_t request) {
    logCommand(ePWControlAppToDaemonCommandReportEmailAddress);
    if (!canReply(request)) return;
    std::optional<std::string> email;
    if (environment_.accountClient) email = environment_.accountClient->savedEmailAddress();
    klipc_send_reply(request, [&](klipc_object_t reply) {
        klipc_dictionary_set_string(reply, "email", email ? email->c_str() : "");
    });
}

void KLTDaemonManager::listenForServiceUpdates() {
    if (environment_.follower) environment_.follower->listenForServiceUpdates();
}

void KLTDaemonManager::ignoreServiceUpdates() {
    if (environment_.follower) environment_.follower->ignoreServiceUpdates();
}

void KLTDaemonManager::URLforService(klipc_object_t request) {
    const char* uuid = klipc_dictionary_get_string(request, "uuid");
    const char* type = klipc_dictionary_get_string(request, "serviceType");
    const char* username = klipc_dictionary_get_string(request, "username");
    if (!uuid || !type || !username || !environment_.follower || !canReply(request)) return;
    std::optional<std::string> user;
    if (*username) user = username;
    std::optional<std::string> url = environment_.follower->URLStringForUUID(uuid, type, user);
    if (!url) return;
    klipc_send_reply(request, [&](klipc_object_t reply) { klipc_dictionary_set_string(reply, "serviceURLString", url->c_str()); });
}

void KLTDaemonManager::connectWithUUID(klipc_object_t request) {
    const char* uuid = klipc_dictionary_get_string(request, "uuid");
    if (!uuid || !canReply(request)) return;
    KLLog(kKLTLoggingLevelInfo, "Received connection request for UUID (%s) from the other side",
          TunnexDisplayableUUID(uuid).c_str());
    TunnexRemoteManager::sharedInstance()->connectToRemoteUUID(uuid, nullptr);
    klipc_send_reply(request, [](klipc_object_t) {});
}

void KLTDaemonManager::disconnectWithUUID(klipc_object_t request) {
    const char* uuid = klipc_dictionary_get_string(request, "uuid");
    if (!uuid || !canReply(request)) return;
    KLLog(kKLTLoggingLevelInfo, "Received disconnection request for UUID (%s) from the other side", uuid);
    TunnexRemoteManager::sharedInstance()->disconnectPeerWithUUID(uuid);
    klipc_send_reply(request, [](klipc_object_t) {});
}

void KLTDaemonManager::shouldUpdateHosts(klipc_object_t request) {
    if (environment_.accountClient)
        environment_.accountClient->setShouldRequestHostUpdates(klipc_dictionary_get_bool(request, "shouldRequestHosts"));
    klipc_send_reply(request, [](klipc_object_t) {});
}

void KLTDaemonManager::requestHostUpdate(klipc_object_t request) {
    if (environment_.accountClient) environment_.accountClient->requestHostUpdate();
    klipc_send_reply(request, [](klipc_object_t) {});
}

void KLTDaemonManager::reportHostsChanged() {
    if (reportingHosts_) sendMessage(ePWDaemonToControlAppCommandHostsChanged, nullptr);
}

void KLTDaemonManager::postRegistrarDidUpdateRemotesNotification() {
    auto client = environment_.accountClient;
    if (client && !client->remoteServiceRecords().empty()) client->didUpdateRemotes.emit();
}

void KLTDaemonManager::reportConnectionStatusForUUID(const std::string& uuid, TunnexTunnelStatus connectionStatus) {
    if (uuid.empty()) return;
    klipc_object_t message = klipc_dictionary_create();
    if (!message) return;
    klipc_dictionary_set_uint64(message, kPWKeyCommand, ePWDaemonToControlAppCommandConnectionStatus);
    klipc_dictionary_set_int64(message, kPWKeyTunnexConnectionStatus, int64_t(connectionStatus));
    klipc_dictionary_set_string(message, kPWKeyUUID, uuid.c_str());
    KLLog(kKLTLoggingLevelDebug, "reportConnectionStatusForUUID - %s (%d)", uuid.c_str(), int(connectionStatus));
    SendMessageToControlApps(message, nullptr);
    klipc_release(message);
}

}  // namespace kl

// The registrar's host side: registration with the offered services, the tunnel key and the
// rendezvous registration, presence, the host list, deletion and renaming, and the tick.
#include <algorithm>
#include <cmath>
#include <set>

#include "daemon/PWRegistrar.h"
#include "daemon/PWRegistrarSupport.h"
#include "foundation/Base64.h"
#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTRegistryExplorer.h"
#include "http/KLHTTPClient.h"
#include "http/KLURLErrors.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/manager/TunnexRemoteManager.h"

namespace kl {

namespace {

constexpr double kHostRefreshSeconds = 5.0;
constexpr double kPingSeconds = 60.0;
constexpr double kHousekeepingSeconds = 50.0;

std::string joinNonEmpty(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

bool lessIgnoringCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return std::tolower(uint8_t(x)) < std::tolower(uint8_t(y)); });
}

PWRequestError requestError(const Error& error) {
    return PWRequestError{uint64_t(error.code()), error.description(), ""};
}

}  // namespace

// --- offered services and registration ----------------------------------------------------------

void PWRegistrar::servicesChanged() {
    std::set<std::string> names;
    if (options_.offeredServices)
        for (const auto& name : options_.offeredServices->offeredServiceNames()) names.insert(name);
    vendedServices_.assign(names.begin(), names.end());
    std::sort(vendedServices_.begin(), vendedServices_.end(), lessIgnoringCase);
    if (signInState_ == PWRegistrarSignedIn) updateHostStatus(names.empty() ? 0 : 1, nullptr);
}

void PWRegistrar::updateHostStatus(int status, std::function<void(bool)> completion) {
    auto client = signInState_ == PWRegistrarSignedOut ? nullptr : httpClient();
    if (!client) {
        if (completion) completion(false);
        return;
    }
    Dictionary parameters;
    parameters.set("host[name]", Value(KLDevice::deviceName().value_or("Port Weaver")));
    parameters.set("host[status]", Value(status == 1 ? "available" : status == 0 ? "unavailable" : ""));
    parameters.set("host[uuid]", Value(KLDevice::machineUniqueID().value_or("")));
    parameters.set("host[service_names]", Value(joinNonEmpty(vendedServices_, ",")));
    if (auto model = KLTRegistryExplorer::computerModel()) parameters.set("host[model_number]", Value(*model));

    std::optional<std::string> oldID = hostIDString_;
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    uint64_t session = session_;
    client->postPath(
        "hosts", parameters,
        [weak, oldID, completion, session](const std::shared_ptr<KLHTTPRequestOperation>&, const Value& reply) {
            auto self = weak.lock();
            if (!self || self->sessionEnded(session)) return;
            const Dictionary* object = reply.asDictionary();
            std::optional<std::string> replyID = object ? stringWithHostIDObject(object->find("id")) : std::nullopt;
            bool changed = false;
            if (oldID) {
                if (replyID != oldID) changed = true;
            } else if (replyID) {
                changed = true;
            }
            if (changed) {
                self->hostIDString_ = replyID;
                KLLog(kKLTLoggingLevelDebug, "Port Weaver hostID: %s", replyID.value_or("(none)").c_str());
            }
            const Value* uuid = object ? object->find("uuid") : nullptr;
            bool ownHost = uuid && uuid->asString() && *uuid->asString() == KLDevice::machineUniqueID().value_or("");
            if (!(self->hostIDString_ && changed && ownHost)) return;
            self->fetchPSK([weak, completion, session](bool ok, Bytes key, std::optional<std::string> host,
                                                       std::optional<std::string> port) {
                auto me = weak.lock();
                if (!me || me->sessionEnded(session)) return;
                me->preSharedKey_ = ok ? std::move(key) : Bytes();
                me->tunnexPingServerAddress_ = ok ? host : std::nullopt;
                me->tunnexPingServerPort_ = ok ? port : std::nullopt;
                // A failed token request completes with failure: no rendezvous registration
                // starts without the key.
                if (completion) completion(ok);
            });
        },
        [weak, completion, session](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error&) {
            if (auto self = weak.lock(); self && !self->sessionEnded(session)) {
                self->hostIDString_.reset();
                if (statusOf(operation) == 422) self->didSignOut();
                else self->didSignInButOffline();
            }
            if (completion) completion(false);
        });
}

void PWRegistrar::fetchPSK(
    std::function<void(bool, Bytes, std::optional<std::string>, std::optional<std::string>)> completion) {
    auto client = httpClient();
    if (!hostIDString_ || !client) {
        KLLog(kKLTLoggingLevelDebug, "hostIDString is nil -- Will not GET token this round");
        return;
    }
    // The cookie's value is a credential: only its presence is logged.
    KLLog(kKLTLoggingLevelDebug, "session cookie: %s", sessionCookieValue() ? "present" : "none");
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    uint64_t session = session_;
    client->getPath(
        "hosts/" + *hostIDString_ + "/token", std::nullopt,
        [completion](const std::shared_ptr<KLHTTPRequestOperation>&, const Value& reply) {
            Bytes key;
            std::optional<std::string> host, port;
            if (const Dictionary* object = reply.asDictionary()) {
                if (const Value* token = object->find("tunnex_token"); token && token->asString())
                    key = dataFromURLEncodedBase64String(*token->asString());
                if (const Value* address = object->find("tunnex_host"); address && address->asString()) {
                    const std::string& text = *address->asString();
                    size_t colon = text.find(':');
                    host = text.substr(0, colon);
                    if (colon == std::string::npos) port = "";
                    else port = text.substr(colon + 1, text.find(':', colon + 1) - colon - 1);
                }
            }
            completion(true, std::move(key), host, port);
        },
        [weak, completion, session](const std::shared_ptr<KLHTTPRequestOperation>&, const Error&) {
            if (auto self = weak.lock(); self && !self->sessionEnded(session)) self->didSignInButOffline();
            completion(false, {}, std::nullopt, std::nullopt);
        });
}

// --- rendezvous registration --------------------------------------------------------------------

void PWRegistrar::startPingingServer() {
    // One registered peer at a time: a new sign-in replaces the previous peer's registration.
    stopPingingServer();
    auto peer = TunnexPeer::initUsingEncryption(true);
    peer->setMainChannelPersists(true);
    peer->setInviteDelegate(weak_from_this());
    peer->setPrivateKey(preSharedKey_);
    std::string address = tunnexPingServerAddress_.value_or("");
    if (address.empty()) {
        KLLog(kKLTLoggingLevelInfo, "Fallback tunnex server.");
        address = options_.fallbackRendezvousServer;
    }
    uint64_t id = 0;
    if (hostIDString_) id = std::strtoull(hostIDString_->c_str(), nullptr, 10);
    peer->registerWithServerAtAddress(address, 5.0, id);
}

void PWRegistrar::stopPingingServer() {
    if (auto peer = TunnexPeer::registeredTunnexPeer()) peer->cancelRegistrationWithServer(true);
}

void PWRegistrar::pingDidTimeOut() { KLLog(kKLTLoggingLevelInfo, "pingDidTimeOut called."); }

// --- presence, host list, deletion and renaming --------------------------------------------------

void PWRegistrar::pingPortweaver() {
    auto client = httpClient();
    if (!hostIDString_ || !client) {
        KLLog(kKLTLoggingLevelDebug, "hostIDString is nil -- Will not ping this round");
        return;
    }
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    uint64_t session = session_;
    client->postPath(
        "hosts/" + *hostIDString_ + "/iamhere", std::nullopt,
        [](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Value&) {
            KLLog(kKLTLoggingLevelDebug, "Successful ping (iamhere) request: %s", operation->request().url.c_str());
        },
        [weak, session](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
            if (auto self = weak.lock(); self && !self->sessionEnded(session)) self->portweaverErrorHandler(operation, error);
        });
}

void PWRegistrar::getHostList() {
    auto client = httpClient();
    if (fetchingHosts_ || !client) return;
    fetchingHosts_ = true;
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    uint64_t session = session_;
    client->getPath(
        "hosts", std::nullopt,
        [weak, session](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Value& reply) {
            auto self = weak.lock();
            if (!self) return;
            KLLog(kKLTLoggingLevelDebug, "request: %s", operation->request().url.c_str());
            if (self->sessionEnded(session)) {
                // The list of an account that was signed out since: nothing to show.
            } else if (const Array* hosts = reply.asArray()) {
                // Records of the wrong shape are left out here, so the reconciliation only sees
                // dictionaries.
                Array records;
                for (const Value& host : *hosts) {
                    if (host.asDictionary()) records.push_back(host);
                    else KLLog(kKLTLoggingLevelError, "Skipping a host record that is not an object");
                }
                // The reconciler announces a change itself (PWRegistrarDidUpdateRemotesNotification).
                if (self->options_.reconciler) self->options_.reconciler->updateRemoteServicesFromServer(records);
            } else {
                KLLog(kKLTLoggingLevelError, "Host list reply is not a list; ignored");
            }
            self->fetchingHosts_ = false;
        },
        [weak, session](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
            auto self = weak.lock();
            if (!self) return;
            if (!self->sessionEnded(session)) self->portweaverErrorHandler(operation, error);
            KLLog(kKLTLoggingLevelError, "performNextRemoteUpdate: Get host list failed: %s", error.description().c_str());
            self->fetchingHosts_ = false;
        });
}

void PWRegistrar::performNextRemoteUpdate() {
    if (signInState_ == PWRegistrarSignedIn) getHostList();
}

std::vector<PWRemoteServiceRecord> PWRegistrar::remoteServiceRecords() const {
    return options_.reconciler ? options_.reconciler->remoteServiceRecords() : std::vector<PWRemoteServiceRecord>{};
}

void PWRegistrar::deleteHostWithServerID(const std::string& serverID, DeleteCompletion completion) {
    auto client = httpClient();
    if (!client) {
        completion(false, PWRequestError{uint64_t(-1), "No connection to the account server", ""});
        return;
    }
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    client->deletePath(
        "hosts/" + serverID, std::nullopt,
        [completion](const std::shared_ptr<KLHTTPRequestOperation>&, const Value&) { completion(true, std::nullopt); },
        [weak, completion](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
            if (auto self = weak.lock()) {
                if (statusOf(operation) == 422) self->didSignOut();
                else self->didSignInButOffline();
            }
            completion(false, requestError(error));
        });
}

void PWRegistrar::renameHost(const std::string& nickname, const std::string& serverID, DeleteCompletion completion) {
    KLLog(kKLTLoggingLevelDebug, "renameHost: %s", "renameHost:withServerID:withCompletionBlock:");
    auto client = httpClient();
    if (!client) return;
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    client->postPath(
        "hosts/" + serverID + "/rename", Dictionary{{"host[nickname]", Value(nickname)}},
        [completion](const std::shared_ptr<KLHTTPRequestOperation>&, const Value&) {
            if (completion) completion(true, std::nullopt);
        },
        [weak, completion](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
            if (auto self = weak.lock()) {
                if (statusOf(operation) == 422) self->didSignOut();
                else self->didSignInButOffline();
            }
            if (completion) completion(false, requestError(error));
        });
}

// --- the tick -----------------------------------------------------------------------------------

void PWRegistrar::initializeRemoteUpdateTimer() {
    std::lock_guard lock(lock_);
    if (remoteUpdateTimer_.valid() && !remoteUpdateTimer_.cancelled()) return;
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    remoteUpdateTimer_ = mainLoop().every(options_.tickInterval, [weak] {
        if (auto self = weak.lock()) self->remoteUpdateTimerFired();
    });
}

void PWRegistrar::invalidateRemoteUpdateTimer() {
    if (httpClient_) httpClient_->cancelAllHTTPOperationsWithMethod("GET", "hosts");
    std::lock_guard lock(lock_);
    remoteUpdateTimer_.cancel();
    remoteUpdateTimer_ = CancelHandle();
}

bool PWRegistrar::isUpdatingRemotes() const {
    std::lock_guard lock(lock_);
    return remoteUpdateTimer_.valid() && !remoteUpdateTimer_.cancelled();
}

void PWRegistrar::setShouldRequestHostUpdates(bool shouldRequest) {
    std::lock_guard lock(lock_);
    shouldRequestHostUpdates_ = shouldRequest;
}

void PWRegistrar::beginUpdatingRemotes() { setShouldRequestHostUpdates(true); }
void PWRegistrar::endUpdatingRemotes() { setShouldRequestHostUpdates(false); }

void PWRegistrar::remoteUpdateTimerFired() {
    double t = now();
    switch (signInState_) {
        case PWRegistrarSignedOut:
            KLLog(kKLTLoggingLevelDebug, "remoteUpdateTimerFired: case kPWRegistrarNotSignedIn");
            retrySignInWithCompletion(nullptr);
            break;
        case PWRegistrarSignedInOffline:
            KLLog(kKLTLoggingLevelDebug, "remoteUpdateTimerFired: case kPWRegistrarSignedInButOffline");
            retrySignInWithCompletion(nullptr);
            break;
        case PWRegistrarSignedIn: {
            bool wantHosts;
            {
                std::lock_guard lock(lock_);
                wantHosts = shouldRequestHostUpdates_;
            }
            if (std::fabs(t - lastHostRefreshDate_) > kHostRefreshSeconds && wantHosts) {
                performNextRemoteUpdate();
                lastHostRefreshDate_ = t;
            }
            if (std::fabs(t - lastPingDate_) > kPingSeconds) {
                pingPortweaver();
                lastPingDate_ = t;
            }
            break;
        }
    }
    auto tunnels = TunnexRemoteManager::sharedInstance();
    tunnels->timeoutRegisteredPeers();
    if (std::fabs(t - lastRemoteManagerUpdate_) > kHousekeepingSeconds) {
        tunnels->performHousekeeping();
        lastRemoteManagerUpdate_ = t;
    }
}

}  // namespace kl

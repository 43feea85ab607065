#include "daemon/PWRegistrar.h"

#include "daemon/PWRegistrarSupport.h"

#include <algorithm>
#include <cmath>

#include "foundation/KLTLogging.h"
#include "http/KLHTTPClient.h"
#include "http/KLHTTPCookieStorage.h"
#include "http/KLJSONRequestOperation.h"
#include "http/KLURL.h"
#include "http/KLURLErrors.h"

namespace kl {

namespace {

constexpr const char* kSessionCookieName = "_session_id";
constexpr const char* kKeychainGeneric = "com.kelvaro.portweaver.deskgate.pwregistrarKeychainItem";
constexpr const char* kKeychainService = "com.kelvaro.portweaver.deskgate";

Bytes genericAttribute() {
    std::string text = kKeychainGeneric;
    return Bytes(text.begin(), text.end());
}

double systemSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string bodyText(const std::shared_ptr<KLHTTPRequestOperation>& operation) {
    if (!operation) return {};
    auto data = operation->responseData();
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// The reply's JSON as the failure path sees it (a 422's body is still decoded when it is JSON).
Value replyJSON(const std::shared_ptr<KLHTTPRequestOperation>& operation) {
    auto json = std::dynamic_pointer_cast<KLJSONRequestOperation>(operation);
    return json ? json->responseJSON() : Value();
}

std::vector<std::string> stringsUnder(const Dictionary& errors, const char* key) {
    std::vector<std::string> out;
    const Value* v = errors.find(key);
    if (!v) return out;
    if (const Array* list = v->asArray()) {
        for (const Value& item : *list)
            if (const std::string* text = item.asString()) out.push_back(*text);
    } else if (const std::string* text = v->asString()) {
        out.push_back(*text);
    }
    return out;
}

std::string requestURL(const std::shared_ptr<KLHTTPRequestOperation>& operation) {
    return operation ? operation->request().url : std::string();
}

}  // namespace

std::string stringFromPWRegistrarSignInState(uint64_t state) {
    switch (state) {
        case 0: return "kPWRegistrarNotSignedIn";
        case 1: return "kPWRegistrarSignedIn";
        case 2: return "kPWRegistrarSignedInButOffline";
        default: return "";
    }
}

std::string stringFromPWRegistrarSignInResult(uint64_t result) {
    switch (result) {
        case 0: return "kPWRegistrarSignInSuccess";
        case 1: return "kPWRegistrarSignInCredentialFailure";
        case 2: return "kPWRegistrarSignInNetworkFailure";
        case 3: return "kPWRegistrarSignInUnknownFailure";
        default: return "";
    }
}

std::optional<std::string> stringWithHostIDObject(const Value* object) {
    if (!object) return std::nullopt;
    if (const std::string* text = object->asString()) return *text;
    if (object->isInt()) return std::to_string(*object->asInt());
    if (object->isUInt()) return std::to_string(*object->asUInt());
    return std::nullopt;
}

std::shared_ptr<PWRegistrar> PWRegistrar::create(Options options) {
    std::shared_ptr<PWRegistrar> registrar(new PWRegistrar(std::move(options)));
    registrar->start();
    return registrar;
}

PWRegistrar::PWRegistrar(Options options) : options_(std::move(options)) {
    if (!options_.clock) options_.clock = systemSeconds;
    if (!options_.secrets) options_.secrets = std::make_shared<SecretStore>();
    lastHostRefreshDate_ = lastPingDate_ = -1e18;
    lastRemoteManagerUpdate_ = now();
}

PWRegistrar::~PWRegistrar() {
    remoteUpdateTimer_.cancel();
    if (options_.offeredServices) options_.offeredServices->servicesChanged.disconnect(servicesObserver_);
    if (httpClient_) httpClient_->setReachabilityStatusChangeBlock(nullptr);
}

void PWRegistrar::start() {
    assignServer(options_.baseURL);
    if (options_.offeredServices) {
        std::weak_ptr<PWRegistrar> weak = weak_from_this();
        servicesObserver_ = options_.offeredServices->servicesChanged.connect([weak] {
            if (auto self = weak.lock()) self->servicesChanged();
        });
    }
}

// --- server connection --------------------------------------------------------------------------

void PWRegistrar::assignServer(const std::string& baseURL) {
    httpClient_ = KLHTTPClient::clientWithBaseURL(baseURL);
    if (!httpClient_) return;
    httpClient_->registerHTTPOperationClass<KLJSONRequestOperation>();
    httpClient_->setDefaultHeader("Accept", "application/json");
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    httpClient_->setReachabilityStatusChangeBlock([weak](KLNetworkReachabilityStatus status) {
        if (auto self = weak.lock()) self->reachabilityChanged(int(status));
    });
}

std::shared_ptr<KLHTTPClient> PWRegistrar::httpClient() {
    if (!httpClient_) assignServer(options_.baseURL);
    return httpClient_;
}

void PWRegistrar::invalidateHttpClient() {
    if (httpClient_) httpClient_->setReachabilityStatusChangeBlock(nullptr);
    httpClient_.reset();
}

void PWRegistrar::reachabilityChanged(int status) {
    KLLog(kKLTLoggingLevelInfo, "Reachability changed to: %d", status);
    currentReachabilityStatus_ = status;
    if (status >= 1) {
        if (signInState_ != PWRegistrarSignedIn && hasSavedCredentials()) {
            if (signInState_ == PWRegistrarSignedOut) setSignInState(PWRegistrarSignedInOffline);
            initializeRemoteUpdateTimer();
        }
    } else if (status == 0) {
        if (signInState_ == PWRegistrarSignedIn && hasSavedCredentials()) setSignInState(PWRegistrarSignedInOffline);
        invalidateRemoteUpdateTimer();
    }
}

// --- state --------------------------------------------------------------------------------------

void PWRegistrar::setSignInState(PWRegistrarSignInState state) {
    PWRegistrarSignInState old = signInState_;
    signInState_ = state;
    if (old != state) signInStateDidChange.emit(old, state);
}

void PWRegistrar::didSignIn() {
    setSignInState(PWRegistrarSignedIn);
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    updateHostStatus(1, [weak](bool registered) {
        if (auto self = weak.lock(); self && registered) self->startPingingServer();
    });
}

void PWRegistrar::didSignOut() {
    ++session_;
    setSignInState(PWRegistrarSignedOut);
    stopPingingServer();
    endUpdatingRemotes();
    preSharedKey_.clear();
    tunnexPingServerAddress_.reset();
    tunnexPingServerPort_.reset();
    if (options_.reconciler) options_.reconciler->removeAllRemoteServices();
    hostIDString_.reset();
}

// --- credentials --------------------------------------------------------------------------------

void PWRegistrar::saveEmailAndPassword(const std::string& email, const std::string& password) {
    KLLog(kKLTLoggingLevelDebug, "%s entered", "saveEmail:andPassword:");
    emailBackup_ = email;
    passwordBackup_ = password;
    SecretItem item{genericAttribute(), kKeychainService, email, "Port Weaver password for " + email,
                    Bytes(password.begin(), password.end())};
    SecretStatus status = options_.secrets->add(item);
    if (status == kSecretSuccess) {
        std::lock_guard lock(lock_);
        deletedCredentials_.erase(email);
    } else if (status == kSecretDuplicateItem) {
        status = options_.secrets->update(genericAttribute(), item);
        if (status != kSecretSuccess) KLLog(kKLTLoggingLevelError, "SecItemUpdate error: %ld, %s", long(status), "");
        else {
            std::lock_guard lock(lock_);
            deletedCredentials_.erase(email);
        }
    } else {
        KLLog(kKLTLoggingLevelError, "SecItemAdd error: %ld, %s", long(status), "");
    }
}

bool PWRegistrar::getEmailPassword(std::string* email, std::string* password) const {
    std::string address, secret;
    std::optional<SecretItem> item;
    auto loadItem = [&](const char* what) -> bool {
        if (item) return true;
        SecretItem found;
        SecretStatus status = options_.secrets->copyMatching(genericAttribute(), found);
        if (status != kSecretSuccess) {
            if (status != kSecretItemNotFound)
                KLLog(kKLTLoggingLevelError, "SecItemCopyMatching() for %s failed with %d", what, int(status));
            return false;
        }
        item = std::move(found);
        return true;
    };
    if (emailBackup_) address = *emailBackup_;
    else if (loadItem("emailAddress")) address = item->account;
    if (address.empty()) return false;
    {
        std::lock_guard lock(lock_);
        if (deletedCredentials_.count(address)) return false;
    }
    if (password) {
        if (emailBackup_) secret = passwordBackup_.value_or("");
        else if (loadItem("password")) secret = std::string(item->data.begin(), item->data.end());
        if (secret.empty()) return false;
        *password = secret;
    }
    if (email) *email = address;
    return true;
}

bool PWRegistrar::hasSavedCredentials() const {
    std::string email, password;
    bool result = getEmailPassword(&email, &password);
    KLLog(kKLTLoggingLevelDebug, "hasSavedCredentials email = %s, password = ######, result = %s", email.c_str(),
          result ? "YES" : "NO");
    return result;
}

std::optional<std::string> PWRegistrar::savedEmailAddress() const {
    std::string email;
    if (!getEmailPassword(&email, nullptr)) return std::nullopt;
    return email;
}

void PWRegistrar::removeSavedCredentials() {
    KLLog(kKLTLoggingLevelDebug, "%s entered", "removeSavedCredentials");
    SecretStatus status = options_.secrets->deleteMatching(genericAttribute());
    if (status != kSecretSuccess && status != kSecretItemNotFound)
        KLLog(kKLTLoggingLevelError, "SecItemDelete() returned error code of: %d", int(status));
    if (emailBackup_) {
        std::lock_guard lock(lock_);
        deletedCredentials_.insert(*emailBackup_);
    }
    deleteSessionCookie();
    emailBackup_.reset();
    passwordBackup_.reset();
}

std::optional<std::string> PWRegistrar::sessionCookieValue() const {
    for (const auto& cookie : KLHTTPCookieStorage::sharedStorage().cookiesForURL(options_.baseURL))
        if (cookie.name == kSessionCookieName) return cookie.value;
    return std::nullopt;
}

void PWRegistrar::deleteSessionCookie() {
    auto& storage = KLHTTPCookieStorage::sharedStorage();
    for (const auto& cookie : storage.cookiesForURL(options_.baseURL))
        if (cookie.name == kSessionCookieName) storage.deleteCookie(cookie);
}

// --- sign-in, account creation, sign-out --------------------------------------------------------

void PWRegistrar::internalSignIn(const std::string& email, const std::string& password, RequestCompletion completion) {
    KLLog(kKLTLoggingLevelInfo, "Internal sign in with email: %s", email.c_str());
    attemptingSignIn_ = true;
    auto client = httpClient();
    if (email.empty() || password.empty() || !client) {
        attemptingSignIn_ = false;
        completion(false, nullptr, Value(), std::nullopt);
        return;
    }
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    Dictionary parameters{{"session[email]", Value(email)}, {"session[password]", Value(password)}};
    client->postPath(
        "sessions", parameters,
        [weak, completion](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Value& reply) {
            KLLog(kKLTLoggingLevelInfo, "Internal sign in succeeded");
            if (auto self = weak.lock()) self->attemptingSignIn_ = false;
            completion(true, operation, reply, std::nullopt);
        },
        [weak, completion](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
            KLLog(kKLTLoggingLevelError, "Internal sign in failed: %s", error.description().c_str());
            if (auto self = weak.lock()) self->attemptingSignIn_ = false;
            completion(false, operation, Value(), error);
        });
}

void PWRegistrar::signInWithEmail(const std::string& email, const std::string& password, SignInCompletion completion) {
    KLLog(kKLTLoggingLevelDebug, "%s entered", "signInWithEmail:password:completion:");
    // Empty texts are a refusal of their own: nothing is sent and saved credentials stay as they are.
    if (email.empty() || password.empty()) {
        completion(PWRegistrarSignInCredentialFailure, PWSignInFailure{});
        return;
    }
    PWRegistrarSignInState noted = signInState_;
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    internalSignIn(email, password,
                   [weak, email, password, noted, completion](bool ok, const std::shared_ptr<KLHTTPRequestOperation>& operation,
                                                               const Value&, const std::optional<Error>&) {
                       auto self = weak.lock();
                       if (!self) return;
                       if (ok) {
                           self->saveEmailAndPassword(email, password);
                           self->didSignIn();
                           if (noted != PWRegistrarSignedIn)
                               mainLoop().post([weak] {
                                   if (auto s = weak.lock()) s->initializeRemoteUpdateTimer();
                               });
                           completion(PWRegistrarSignInSuccess, PWSignInFailure{});
                       } else if (statusOf(operation) == 422) {
                           self->removeSavedCredentials();
                           PWSignInFailure failure;
                           std::string body = bodyText(operation);
                           if (!body.empty() && body != "ERROR") failure.text = body;
                           completion(PWRegistrarSignInCredentialFailure, failure);
                       } else {
                           self->saveEmailAndPassword(email, password);  // for the tick's retries
                           completion(PWRegistrarSignInNetworkFailure, PWSignInFailure{});
                       }
                   });
}

void PWRegistrar::createAccountWithEmail(const std::string& email, const std::string& password,
                                         SignInCompletion completion) {
    KLAssert(completion != nullptr, "Need to provide a completion block");
    KLAssert(signInState_ != PWRegistrarSignedIn, "Can't create account when already signed in");
    if (!completion) completion = [](PWRegistrarSignInResult, const PWSignInFailure&) {};
    removeSavedCredentials();
    auto client = httpClient();
    if (email.empty() || password.empty() || !client) {
        completion(PWRegistrarSignInCredentialFailure, PWSignInFailure{});
        return;
    }
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    Dictionary parameters{{"user[email]", Value(email)}, {"user[password]", Value(password)}};
    client->postPath(
        "users", parameters,
        [weak, email, password, completion](const std::shared_ptr<KLHTTPRequestOperation>&, const Value&) {
            auto self = weak.lock();
            if (!self) return;
            self->saveEmailAndPassword(email, password);
            self->didSignIn();
            completion(PWRegistrarSignInSuccess, PWSignInFailure{});
        },
        [completion](const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error&) {
            PWSignInFailure failure;
            Value reply = replyJSON(operation);
            if (const Dictionary* errors = reply.asDictionary()) {
                failure.emailErrors = stringsUnder(*errors, "email");
                failure.passwordErrors = stringsUnder(*errors, "password");
            }
            completion(statusOf(operation) == 422 ? PWRegistrarSignInCredentialFailure : PWRegistrarSignInNetworkFailure,
                       failure);
        });
}

void PWRegistrar::signOutWithCompletion(std::function<void()> completion) {
    if (signInState_ == PWRegistrarSignedIn && httpClient()) {
        auto client = httpClient();
        // The saved credentials and with them the session cookie go right after the request is
        // queued, before it is sent: the request carries the cookie taken now.
        KLURLRequest request = client->requestWithMethod("GET", "sessions/logout", std::nullopt);
        if (auto cookie = sessionCookieValue()) request.setValue(std::string(kSessionCookieName) + "=" + *cookie, "Cookie");
        std::weak_ptr<PWRegistrar> weak = weak_from_this();
        auto finish = [weak, completion] {
            if (auto self = weak.lock()) self->invalidateHttpClient();
            if (completion) completion();
        };
        client->enqueueHTTPRequestOperation(client->HTTPRequestOperationWithRequest(
            request, [finish](const std::shared_ptr<KLHTTPRequestOperation>&, const Value&) { finish(); },
            [finish](const std::shared_ptr<KLHTTPRequestOperation>&, const Error&) { finish(); }));
        removeSavedCredentials();
    } else if (completion) {
        completion();
    }
    didSignOut();
}

void PWRegistrar::trySavedCredentialsWithCompletion(std::function<void(PWRegistrarSignInResult)> completion) {
    if (!hasSavedCredentials() || signInState_ == PWRegistrarSignedIn) return;
    KLAssert(completion != nullptr, "Need to provide a completion block");
    if (!completion) completion = [](PWRegistrarSignInResult) {};
    std::string email, password;
    if (!getEmailPassword(&email, &password)) {
        signOut();
        removeSavedCredentials();
        completion(PWRegistrarSignInCredentialFailure);
        return;
    }
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    signInWithEmail(email, password, [weak, completion](PWRegistrarSignInResult result, const PWSignInFailure&) {
        KLLog(kKLTLoggingLevelDebug, "%s  %s", "trySavedCredentialsWithCompletion:",
              stringFromPWRegistrarSignInResult(result).c_str());
        auto self = weak.lock();
        if (result == PWRegistrarSignInSuccess || result == PWRegistrarSignInNetworkFailure) {
            completion(result);
            return;
        }
        if (self) {
            self->signOut();
            self->removeSavedCredentials();
        }
        completion(PWRegistrarSignInCredentialFailure);
    });
}

void PWRegistrar::retrySignInWithCompletion(std::function<void(PWRegistrarSignInResult)> completion) {
    if (!throttle_.shouldAttemptSignIn(now(), attemptingSignIn_)) {
        KLLog(kKLTLoggingLevelDebug, "Waiting to attempt to sign in");
        return;
    }
    throttle_.registerSignInDate(now());
    if (signingIn_) return;
    signingIn_ = true;
    if (signInState_ == PWRegistrarSignedIn) {
        KLLog(kKLTLoggingLevelDebug, "%s  self.signInState == kPWRegistrarSignedIn", "retrySignInWithCompletion:");
        signingIn_ = false;
        return;
    }
    KLLog(kKLTLoggingLevelDebug, "%s  self.signInState != kPWRegistrarSignedIn", "retrySignInWithCompletion:");
    std::weak_ptr<PWRegistrar> weak = weak_from_this();
    if (hasSavedCredentials()) {
        KLLog(kKLTLoggingLevelDebug, "%s  self.signInState hasSavedCredentials == YES", "retrySignInWithCompletion:");
        hostIDString_.reset();
        trySavedCredentialsWithCompletion([weak, completion](PWRegistrarSignInResult result) {
            KLLog(kKLTLoggingLevelDebug, "PWRegistrarSignInResult: %d", int(result));
            auto self = weak.lock();
            if (self && result == PWRegistrarSignInCredentialFailure) self->signOut();
            if (self && result == PWRegistrarSignInSuccess) self->setSignInState(PWRegistrarSignedIn);
            if (completion) completion(result);
            if (self) self->signingIn_ = false;
        });
    } else {
        KLLog(kKLTLoggingLevelDebug, "%s  self.signInState hasSavedCredentials == NO", "retrySignInWithCompletion:");
        signOutWithCompletion([weak] {
            if (auto self = weak.lock()) self->signingIn_ = false;
        });
        if (completion) completion(PWRegistrarSignInCredentialFailure);
    }
}

void PWRegistrar::portweaverErrorHandler(const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error) {
    long status = statusOf(operation);
    if (status == 422) {
        signOut();
        return;
    }
    // A reply that arrived but could not be read says nothing about the connection: it is logged
    // and changes nothing.
    if (status >= 200 && status < 300) {
        KLLog(kKLTLoggingLevelError, "Malformed reply ignored for %s: %s", requestURL(operation).c_str(),
              error.description().c_str());
        return;
    }
    if (error.code() != kKLURLErrorCancelled) didSignInButOffline();
    KLLog(kKLTLoggingLevelError, "Portweaver network error: %s - %s for %s", error.description().c_str(), "",
          requestURL(operation).c_str());
    KLLog(kKLTLoggingLevelError, "hasAcceptableStatusCode:%s",
          operation && operation->hasAcceptableStatusCode() ? "YES" : "NO");
}

}  // namespace kl

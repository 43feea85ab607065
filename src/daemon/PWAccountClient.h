// What the daemon's control side needs of the account client: its sign-in state, sign-in and
// account creation, sign-out, the saved e-mail address, host deletion, the host-list wish, the
// current remote service records, and its two notifications. The account client implements it;
// the daemon manager and the relays to the control apps only see this.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Signal.h"

namespace kl {

enum PWRegistrarSignInState : uint64_t {
    PWRegistrarSignedOut = 0,
    PWRegistrarSignedIn = 1,
    PWRegistrarSignedInOffline = 2,
};

enum PWRegistrarSignInResult : uint64_t {
    PWRegistrarSignInSuccess = 0,
    PWRegistrarSignInCredentialFailure = 1,
    PWRegistrarSignInNetworkFailure = 2,
    PWRegistrarSignInUnknownFailure = 3,
};

// What a failed sign-in or account creation tells the control app.
struct PWSignInFailure {
    std::optional<std::string> text;          // the server's or the client's error text
    std::vector<std::string> emailErrors;     // account creation: the server's e-mail messages
    std::vector<std::string> passwordErrors;  // account creation: the server's password messages
};

// An error of a server request, as the control app shows it.
struct PWRequestError {
    uint64_t code = 0;
    std::string description;
    std::string failureReason;
};

// One service of one remote host, as the host list reports it to the control apps.
struct PWRemoteServiceRecord {
    std::string displayName;  // the nickname when not empty, else the host's name
    int64_t status = 0;       // 1 available
    std::string type;         // "_afpovertcp._tcp"
    std::string serverID;
    std::string modelNumber;
    std::string nickname;
    std::string uuid;
};

class PWAccountClient {
public:
    using SignInCompletion = std::function<void(PWRegistrarSignInResult result, const PWSignInFailure& failure)>;
    using DeleteCompletion = std::function<void(bool succeeded, const std::optional<PWRequestError>& error)>;

    virtual ~PWAccountClient() = default;

    virtual PWRegistrarSignInState signInState() const = 0;
    virtual void signInWithEmail(const std::string& email, const std::string& password, SignInCompletion completion) = 0;
    virtual void createAccountWithEmail(const std::string& email, const std::string& password,
                                        SignInCompletion completion) = 0;
    virtual bool isUpdatingRemoteHosts() const = 0;
    virtual void endUpdatingRemoteHosts() = 0;
    virtual void signOut() = 0;
    // Tells the account server that this host is no longer available (no completion).
    virtual void reportHostUnavailable() = 0;
    virtual void removeStoredCredentials() = 0;
    virtual std::optional<std::string> savedEmailAddress() const = 0;
    virtual void deleteHostWithServerID(const std::string& serverID, DeleteCompletion completion) = 0;
    virtual void setShouldRequestHostUpdates(bool shouldRequest) = 0;
    virtual void requestHostUpdate() = 0;
    virtual std::vector<PWRemoteServiceRecord> remoteServiceRecords() const = 0;

    // PWRegistrarSignInStateDidChangeNotification: old state, new state. Posted on the main loop.
    Signal<PWRegistrarSignInState, PWRegistrarSignInState> signInStateDidChange;
    // PWRegistrarDidUpdateRemotesNotification. Posted on the main loop.
    Signal<> didUpdateRemotes;
};

// The service registrar's side of the control protocol: following the account client's host-list
// updates, and the URL of a remote service published on this machine.
class PWServiceUpdateFollower {
public:
    virtual ~PWServiceUpdateFollower() = default;
    virtual void listenForServiceUpdates() = 0;
    virtual void ignoreServiceUpdates() = 0;
    // Nothing when no local port is published for that host and type.
    virtual std::optional<std::string> URLStringForUUID(const std::string& uuid, const std::string& serviceType,
                                                        const std::optional<std::string>& username) = 0;
};

}  // namespace kl

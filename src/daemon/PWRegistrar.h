// PWRegistrar: the daemon's client of the account server. Signs in with given or saved credentials
// (kept in the SecretStore), creates accounts, signs out, registers this host with its offered
// services, fetches the tunnel key and the rendezvous address, keeps the tunnel peer registered
// with the rendezvous server, reports presence and runs the 5-second tick that retries the sign-in
// and fetches the host list. Lives on the main loop: every call and every callback runs there.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "daemon/PWAccountClient.h"
#include "daemon/PWSignInThrottle.h"
#include "platform/Error.h"
#include "platform/Executors.h"
#include "platform/SecretStore.h"
#include "platform/Value.h"
#include "tunnel/peer/TunnexPeerDelegates.h"

namespace kl {

class KLHTTPClient;
class KLHTTPRequestOperation;

// The services this machine offers, as the services manager scans them.
class PWOfferedServicesSource {
public:
    virtual ~PWOfferedServicesSource() = default;
    // The service types ("_ssh._tcp") of every available local service.
    virtual std::vector<std::string> offeredServiceNames() const = 0;
    // Emitted (on the main loop) when services were added or removed.
    Signal<> servicesChanged;
};

// Turns the account's host list into remote service records, and posts the account client's
// didUpdateRemotes when they changed.
class PWHostListReconciler {
public:
    virtual ~PWHostListReconciler() = default;
    // hosts: the dictionaries of the reply, each a host record of the server.
    virtual void updateRemoteServicesFromServer(const Array& hosts) = 0;
    virtual std::vector<PWRemoteServiceRecord> remoteServiceRecords() const = 0;
    virtual void removeAllRemoteServices() = 0;
};

class PWRegistrar : public PWAccountClient,
                    public TunnexPeerInviteDelegate,
                    public std::enable_shared_from_this<PWRegistrar> {
public:
    struct Options {
        std::string baseURL;                          // the account server's "https://host:port/api/v1/"
        std::string fallbackRendezvousServer;         // used when the server names none
        std::function<double()> clock;                // seconds on a steady scale; the system's when empty
        Duration tickInterval = std::chrono::seconds(5);
        std::shared_ptr<SecretStore> secrets;         // the system's store when empty
        std::shared_ptr<PWOfferedServicesSource> offeredServices;
        std::shared_ptr<PWHostListReconciler> reconciler;
    };
    static std::shared_ptr<PWRegistrar> create(Options options);
    ~PWRegistrar() override;

    // PWAccountClient.
    PWRegistrarSignInState signInState() const override { return signInState_; }
    void signInWithEmail(const std::string& email, const std::string& password, SignInCompletion completion) override;
    void createAccountWithEmail(const std::string& email, const std::string& password,
                                SignInCompletion completion) override;
    bool isUpdatingRemoteHosts() const override { return isUpdatingRemotes(); }
    void endUpdatingRemoteHosts() override { endUpdatingRemotes(); }
    void signOut() override { signOutWithCompletion(nullptr); }
    void reportHostUnavailable() override { updateHostStatus(0, nullptr); }
    void removeStoredCredentials() override { removeSavedCredentials(); }
    std::optional<std::string> savedEmailAddress() const override;
    void deleteHostWithServerID(const std::string& serverID, DeleteCompletion completion) override;
    void setShouldRequestHostUpdates(bool shouldRequest) override;
    void requestHostUpdate() override { performNextRemoteUpdate(); }
    std::vector<PWRemoteServiceRecord> remoteServiceRecords() const override;

    // Sign-in and credentials.
    void signOutWithCompletion(std::function<void()> completion);
    void removeSavedCredentials();
    bool hasSavedCredentials() const;
    void retrySignInWithCompletion(std::function<void(PWRegistrarSignInResult)> completion);
    void trySavedCredentialsWithCompletion(std::function<void(PWRegistrarSignInResult)> completion);
    void setSignInState(PWRegistrarSignInState state);

    // Hosts, key and presence.
    void updateHostStatus(int status, std::function<void(bool)> completion);
    void servicesChanged();
    void renameHost(const std::string& nickname, const std::string& serverID, DeleteCompletion completion);
    void performNextRemoteUpdate();
    void pingPortweaver();
    void startPingingServer();
    void stopPingingServer();
    void pingDidTimeOut() override;

    // The tick.
    void initializeRemoteUpdateTimer();
    void invalidateRemoteUpdateTimer();
    bool isUpdatingRemotes() const;
    void beginUpdatingRemotes();
    void endUpdatingRemotes();
    void remoteUpdateTimerFired();

    // For tests and log lines.
    std::optional<std::string> hostIDString() const { return hostIDString_; }
    const Bytes& preSharedKey() const { return preSharedKey_; }
    std::string rendezvousAddress() const { return tunnexPingServerAddress_.value_or(""); }
    std::string rendezvousPort() const { return tunnexPingServerPort_.value_or(""); }
    // The reachability status as the HTTP client reports it (tests drive it directly).
    void reachabilityChanged(int status);

private:
    explicit PWRegistrar(Options options);
    void start();
    double now() const { return options_.clock(); }
    std::shared_ptr<KLHTTPClient> httpClient();
    void invalidateHttpClient();
    void assignServer(const std::string& baseURL);

    using RequestCompletion = std::function<void(bool ok, const std::shared_ptr<KLHTTPRequestOperation>& operation,
                                                 const Value& reply, const std::optional<Error>& error)>;
    void internalSignIn(const std::string& email, const std::string& password, RequestCompletion completion);
    void didSignIn();
    void didSignOut();
    void didSignInButOffline() { setSignInState(PWRegistrarSignedInOffline); }
    void portweaverErrorHandler(const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error);
    void fetchPSK(std::function<void(bool, Bytes, std::optional<std::string>, std::optional<std::string>)> completion);
    void getHostList();

    // Credentials.
    void saveEmailAndPassword(const std::string& email, const std::string& password);
    bool getEmailPassword(std::string* email, std::string* password) const;
    std::optional<std::string> sessionCookieValue() const;
    void deleteSessionCookie();

    Options options_;
    PWRegistrarSignInState signInState_ = PWRegistrarSignedOut;
    std::shared_ptr<KLHTTPClient> httpClient_;
    std::optional<std::string> emailBackup_, passwordBackup_;
    mutable std::mutex lock_;  // the tick timer, the host-update wish and the deleted addresses
    std::set<std::string> deletedCredentials_;
    bool attemptingSignIn_ = false;
    bool signingIn_ = false;
    PWSignInThrottle throttle_;
    int currentReachabilityStatus_ = -1;
    bool shouldRequestHostUpdates_ = false;
    bool fetchingHosts_ = false;
    CancelHandle remoteUpdateTimer_;
    double lastHostRefreshDate_;
    double lastPingDate_;
    double lastRemoteManagerUpdate_;
    std::optional<std::string> hostIDString_;
    std::vector<std::string> vendedServices_;
    Bytes preSharedKey_;
    std::optional<std::string> tunnexPingServerAddress_, tunnexPingServerPort_;
    Signal<>::Id servicesObserver_ = 0;
    // Counts sign-outs: a reply to a request made before the latest sign-out belongs to a session
    // that is over and changes nothing.
    uint64_t session_ = 0;
    bool sessionEnded(uint64_t session) const { return session != session_; }
};

// "kPWRegistrarNotSignedIn", ...; "" for other values.
std::string stringFromPWRegistrarSignInState(uint64_t state);
std::string stringFromPWRegistrarSignInResult(uint64_t result);
// A server host id as text: strings unchanged, integers in decimal, anything else nothing.
std::optional<std::string> stringWithHostIDObject(const Value* object);

}  // namespace kl

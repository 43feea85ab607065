// The daemon's account client and the two relays of its notifications to the control apps:
// a host-list update becomes message 6 (while host reporting is on), a sign-in state change
// becomes message 2 with the new state.
#pragma once

#include <memory>

#include "daemon/PWAccountClient.h"

namespace kl {

// Message 2 with "registrarState" to every registered control app.
void daemon_signInStateChanged(PWRegistrarSignInState newState);
// The daemon manager's host-list relay (made on the first update if it does not exist yet).
void daemon_registrarUpdatedHosts();

class PWDaemonAccount {
public:
    PWDaemonAccount() = default;
    ~PWDaemonAccount() { stop(); }
    PWDaemonAccount(const PWDaemonAccount&) = delete;
    PWDaemonAccount& operator=(const PWDaemonAccount&) = delete;

    // Observes client's notifications (none: the daemon runs without an account client).
    void start(std::shared_ptr<PWAccountClient> client);
    void stop();
    const std::shared_ptr<PWAccountClient>& client() const { return client_; }

private:
    std::shared_ptr<PWAccountClient> client_;
    Signal<>::Id hostsObserver_ = 0;
    Signal<PWRegistrarSignInState, PWRegistrarSignInState>::Id stateObserver_ = 0;
};

}  // namespace kl

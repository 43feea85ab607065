#include "daemon/PWDaemonAccount.h"

#include "daemon/KLTDaemonManager.h"
#include "daemon/PWControlAppConnections.h"
#include "daemon/PWControlProtocol.h"

namespace kl {

void daemon_signInStateChanged(PWRegistrarSignInState newState) {
    klipc_object_t message = klipc_dictionary_create();
    if (!message) return;
    klipc_dictionary_set_uint64(message, kPWKeyCommand, ePWDaemonToControlAppCommandSignedInChanged);
    klipc_dictionary_set_uint64(message, kPWKeyRegistrarState, newState);
    SendMessageToControlApps(message, nullptr);
    klipc_release(message);
}

void daemon_registrarUpdatedHosts() { KLTDaemonManager::sharedManager()->reportHostsChanged(); }

void PWDaemonAccount::start(std::shared_ptr<PWAccountClient> client) {
    stop();
    client_ = std::move(client);
    if (!client_) return;
    hostsObserver_ = client_->didUpdateRemotes.connect([] { daemon_registrarUpdatedHosts(); });
    stateObserver_ = client_->signInStateDidChange.connect(
        [](PWRegistrarSignInState, PWRegistrarSignInState newState) { daemon_signInStateChanged(newState); });
}

void PWDaemonAccount::stop() {
    if (!client_) return;
    client_->didUpdateRemotes.disconnect(hostsObserver_);
    client_->signInStateDidChange.disconnect(stateObserver_);
}

}  // namespace kl

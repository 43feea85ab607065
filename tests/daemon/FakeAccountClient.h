// An account client that does nothing but count sign-outs: for the pieces that only follow the
// client's notifications (its signals are real).
#pragma once

#include "daemon/PWAccountClient.h"

namespace kl::test {

struct FakeAccountClient : PWAccountClient {
    PWRegistrarSignInState signInState() const override { return PWRegistrarSignedIn; }
    void signInWithEmail(const std::string&, const std::string&, SignInCompletion) override {}
    void createAccountWithEmail(const std::string&, const std::string&, SignInCompletion) override {}
    bool isUpdatingRemoteHosts() const override { return false; }
    void endUpdatingRemoteHosts() override {}
    void signOut() override { ++signOuts; }
    void reportHostUnavailable() override {}
    void removeStoredCredentials() override {}
    std::optional<std::string> savedEmailAddress() const override { return std::nullopt; }
    void deleteHostWithServerID(const std::string&, DeleteCompletion) override {}
    void setShouldRequestHostUpdates(bool) override {}
    void requestHostUpdate() override {}
    std::vector<PWRemoteServiceRecord> remoteServiceRecords() const override { return {}; }
    int signOuts = 0;
};

}  // namespace kl::test

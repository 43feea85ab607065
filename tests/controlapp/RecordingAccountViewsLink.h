// An account-views link that records the requests the views make and keeps their completions
// for the test to answer.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "controlapp/ui/KLTAccountViewsLink.h"

namespace kl::test {

class RecordingAccountViewsLink final : public KLTAccountViewsLink {
public:
    void trySignIn(const std::string& email, const std::string& password,
                   std::function<void(uint32_t, std::optional<std::string>)> completion) override {
        requests.push_back("6 " + email + " " + password);
        signIn = std::move(completion);
    }
    void createAccount(const std::string& email, const std::string& password,
                       std::function<void(uint64_t, std::optional<AccountErrors>)> completion) override {
        requests.push_back("9 " + email + " " + password);
        create = std::move(completion);
    }
    void savedEmailAddress(std::function<void(std::string)> completion) override {
        requests.push_back("20");
        completion(savedEmail);
    }
    void beginHostNotifications() override { requests.push_back("15"); }
    void endHostNotifications() override { requests.push_back("17"); }
    void signOutWithAuthorization() override { requests.push_back("7"); }
    void deleteHostWithID(const std::string& hostID, std::function<void()> completion) override {
        requests.push_back("18 " + hostID);
        completion();
    }
    void showAccessibilitySettings() override { requests.push_back("accessibility"); }
    void openURL(const std::string& url) override { requests.push_back("open " + url); }

    std::vector<std::string> requests;
    std::string savedEmail;
    std::function<void(uint32_t, std::optional<std::string>)> signIn;
    std::function<void(uint64_t, std::optional<AccountErrors>)> create;
};

}  // namespace kl::test

// What the sign-in, account and host-list views ask of the app delegate: every daemon request
// they make, and the few desktop actions they trigger. Completions come on the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kl {

class KLTAppDelegate;

class KLTAccountViewsLink {
public:
    using AccountErrors = std::map<std::string, std::vector<std::string>>;
    virtual ~KLTAccountViewsLink() = default;
    // Command 6; result 0 success, 1 credentials, 2 network, 3 unknown.
    virtual void trySignIn(const std::string& email, const std::string& password,
                           std::function<void(uint32_t result, std::optional<std::string> error)> completion) = 0;
    // Command 9; always answered: an unreachable daemon gives result 3.
    virtual void createAccount(const std::string& email, const std::string& password,
                               std::function<void(uint64_t result, std::optional<AccountErrors> errors)> completion) = 0;
    virtual void savedEmailAddress(std::function<void(std::string)> completion) = 0;  // command 20
    virtual void beginHostNotifications() = 0;                                         // command 15
    virtual void endHostNotifications() = 0;                                           // command 17
    // Command 7 with authorization, then the app's sign-in state becomes 0.
    virtual void signOutWithAuthorization() = 0;
    virtual void deleteHostWithID(const std::string& hostID, std::function<void()> completion) = 0;  // command 18
    virtual void showAccessibilitySettings() = 0;
    virtual void openURL(const std::string& url) = 0;
};

// Shows why the screen service needs synthetic input, then opens the desktop's accessibility
// settings where a known settings program exists.
void showAccessbilityInSystemPreferences();

// The link through the running app delegate; requests made after it is gone do nothing.
std::shared_ptr<KLTAccountViewsLink> makeAccountViewsLink(std::weak_ptr<KLTAppDelegate> app);

}  // namespace kl

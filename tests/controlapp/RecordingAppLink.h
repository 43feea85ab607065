// An app link that records the daemon requests the view manager makes, with a settable sign-in
// state and update flag; URL requests keep their completions for the test to answer.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "controlapp/ui/KLTViewManagerAppLink.h"

namespace kl::test {

class RecordingAppLink final : public KLTViewManagerAppLink {
public:
    struct URLRequest {
        std::string uuid, serviceType, username;
        std::function<void(std::string)> completion;
    };

    uint32_t registrarState() const override { return state; }
    bool updateIsAvailable() const override { return updateAvailable; }
    void shouldRequestHostUpdates(bool should) override { requests.push_back(should ? "31 YES" : "31 NO"); }
    void requestHostUpdateFromPortweaver() override { requests.push_back("32"); }
    void connectWithUUID(const std::string& uuid) override { requests.push_back("29 " + uuid); }
    void disconnectWithUUID(const std::string& uuid) override { requests.push_back("30 " + uuid); }
    void URLForUUID(const std::string& uuid, const std::string& serviceType, const std::string& username,
                    std::function<void(std::string)> completion) override {
        urlRequests.push_back({uuid, serviceType, username, std::move(completion)});
    }
    void deleteHostWithID(const std::string& hostID) override { requests.push_back("18 " + hostID); }
    void signoutRequest() override { requests.push_back("7"); }
    void checkForUpdates() override { ++updateChecks; }

    uint32_t state = 0;
    bool updateAvailable = false;
    std::vector<std::string> requests;
    std::vector<URLRequest> urlRequests;
    int updateChecks = 0;
};

}  // namespace kl::test

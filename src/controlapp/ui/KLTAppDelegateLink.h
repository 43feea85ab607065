// The view manager's link to the app delegate and through it to the daemon.
#pragma once

#include <memory>

#include "controlapp/ui/KLTViewManagerAppLink.h"

namespace kl {

class KLTAppDelegate;

class KLTAppDelegateLink final : public KLTViewManagerAppLink {
public:
    explicit KLTAppDelegateLink(std::weak_ptr<KLTAppDelegate> app) : app_(std::move(app)) {}

    uint32_t registrarState() const override;
    bool updateIsAvailable() const override;
    void shouldRequestHostUpdates(bool should) override;
    void requestHostUpdateFromPortweaver() override;
    void connectWithUUID(const std::string& uuid) override;
    void disconnectWithUUID(const std::string& uuid) override;
    void URLForUUID(const std::string& uuid, const std::string& serviceType, const std::string& username,
                    std::function<void(std::string)> completion) override;
    void deleteHostWithID(const std::string& hostID) override;
    void signoutRequest() override;
    void checkForUpdates() override;

private:
    std::weak_ptr<KLTAppDelegate> app_;
};

}  // namespace kl

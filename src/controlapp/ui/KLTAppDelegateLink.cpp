#include "controlapp/ui/KLTAppDelegateLink.h"

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/desktop/KLTPortweaverUpdater.h"

namespace kl {

uint32_t KLTAppDelegateLink::registrarState() const {
    auto app = app_.lock();
    return app ? app->registrarState() : 0;
}

bool KLTAppDelegateLink::updateIsAvailable() const {
    auto app = app_.lock();
    return app && app->updateIsAvailable;
}

void KLTAppDelegateLink::shouldRequestHostUpdates(bool should) {
    if (auto app = app_.lock()) app->shouldRequestHostUpdates(should);
}

void KLTAppDelegateLink::requestHostUpdateFromPortweaver() {
    if (auto app = app_.lock()) app->requestHostUpdateFromPortweaver();
}

void KLTAppDelegateLink::connectWithUUID(const std::string& uuid) {
    if (auto app = app_.lock()) app->connectWithUUID(uuid);
}

void KLTAppDelegateLink::disconnectWithUUID(const std::string& uuid) {
    if (auto app = app_.lock()) app->disconnectWithUUID(uuid);
}

void KLTAppDelegateLink::URLForUUID(const std::string& uuid, const std::string& serviceType,
                                    const std::string& username, std::function<void(std::string)> completion) {
    if (auto app = app_.lock()) app->URLForUUID(uuid, serviceType, username, std::move(completion));
}

void KLTAppDelegateLink::deleteHostWithID(const std::string& hostID) {
    if (auto app = app_.lock()) app->deleteHostWithID(hostID, [](bool, std::optional<Dictionary>) {});
}

void KLTAppDelegateLink::signoutRequest() {
    if (auto app = app_.lock()) app->signoutRequest();
}

// A check on request: a found update is offered through the updater's delegate, as at start-up.
void KLTAppDelegateLink::checkForUpdates() { KLTPortweaverUpdater::sharedUpdater().checkForUpdatesInBackground(); }

}  // namespace kl

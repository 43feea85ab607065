#include "daemon/PWScannedServices.h"

namespace kl {

PWScannedServices::PWScannedServices(std::shared_ptr<PWServicesManager> manager) : manager_(std::move(manager)) {
    // The scan's signals come on the main loop, where the account client lives.
    added_ = manager_->addedServices.connect([this](const std::vector<PWRunningService>&) { servicesChanged.emit(); });
    removed_ = manager_->removedServices.connect([this](const std::vector<PWRunningService>&) { servicesChanged.emit(); });
}

PWScannedServices::~PWScannedServices() {
    manager_->addedServices.disconnect(added_);
    manager_->removedServices.disconnect(removed_);
}

}  // namespace kl

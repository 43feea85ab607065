// PWScannedServices: the services this machine offers, as the services manager's scan finds them,
// seen by the account client. Either announcement of the scan (services added or removed) becomes
// one servicesChanged, which makes the account client register the host again.
#pragma once

#include <memory>

#include "daemon/PWRegistrar.h"
#include "daemon/model/PWServicesManager.h"

namespace kl {

class PWScannedServices : public PWOfferedServicesSource {
public:
    explicit PWScannedServices(std::shared_ptr<PWServicesManager> manager);
    ~PWScannedServices() override;
    PWScannedServices(const PWScannedServices&) = delete;
    PWScannedServices& operator=(const PWScannedServices&) = delete;

    std::vector<std::string> offeredServiceNames() const override { return manager_->offeredServiceNames(); }

private:
    std::shared_ptr<PWServicesManager> manager_;
    Signal<const std::vector<PWRunningService>&>::Id added_ = 0, removed_ = 0;
};

}  // namespace kl

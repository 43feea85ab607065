// A list of shared and unshared devices that the app keeps without showing: it only holds its
// three values (guarded, since any thread may set them).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "controlapp/ui/KLTViewController.h"

namespace kl {

class KLTDevicesViewController final : public KLTViewController {
public:
    using KLTViewController::KLTViewController;

    bool connectToEverythingOnNetwork() const {
        std::lock_guard lock(lock_);
        return connectToEverything_;
    }
    void setConnectToEverythingOnNetwork(bool value) {
        std::lock_guard lock(lock_);
        connectToEverything_ = value;
    }
    std::vector<std::string> sharedDevices() const {
        std::lock_guard lock(lock_);
        return shared_;
    }
    void setSharedDevices(std::vector<std::string> devices) {
        std::lock_guard lock(lock_);
        shared_ = std::move(devices);
    }
    std::vector<std::string> unsharedDevices() const {
        std::lock_guard lock(lock_);
        return unshared_;
    }
    void setUnsharedDevices(std::vector<std::string> devices) {
        std::lock_guard lock(lock_);
        unshared_ = std::move(devices);
    }

private:
    mutable std::mutex lock_;
    bool connectToEverything_ = false;
    std::vector<std::string> shared_, unshared_;
};

}  // namespace kl

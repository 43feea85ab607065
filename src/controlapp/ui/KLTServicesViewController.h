// A view of the DNS-SD services that the app delegate's browser found. It follows the browser's
// additions and removals, writing each resulting list to the log, until it goes away. Nothing in
// the app shows it.
//
// Main thread only: the browser announces its changes on the main loop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controlapp/ui/KLTViewController.h"
#include "screen/apps/KLTBonjourBrowser.h"

namespace kl {

class KLTAppDelegate;

class KLTServicesViewController final : public KLTViewController {
public:
    explicit KLTServicesViewController(std::string name = "KLTServicesViewController",
                                       std::weak_ptr<KLTAppDelegate> app = {});
    ~KLTServicesViewController() override;

    // The browser's present list; empty without an app delegate.
    std::vector<KLTBonjourService> services() const;
    void bonjourServicesChanged();

private:
    std::weak_ptr<KLTAppDelegate> app_;
    Signal<const std::vector<KLTBonjourService>&>::Id added_ = 0;
    Signal<const std::vector<std::string>&, const std::vector<KLTBonjourService>&>::Id removed_ = 0;
};

}  // namespace kl

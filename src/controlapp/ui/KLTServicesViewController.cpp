#include "controlapp/ui/KLTServicesViewController.h"

#include "controlapp/KLTAppDelegate.h"
#include "foundation/KLTLogging.h"

namespace kl {

KLTServicesViewController::KLTServicesViewController(std::string name, std::weak_ptr<KLTAppDelegate> app)
    : KLTViewController(std::move(name)), app_(app.expired() ? KLTAppDelegate::appDelegate() : std::move(app)) {
    auto delegate = app_.lock();
    if (!delegate) return;
    KLTBonjourBrowser& browser = delegate->bonjourBrowser();
    // Disconnected by the destructor, on this same thread, before this object goes.
    added_ = browser.didAddService.connect([this](const auto&) { bonjourServicesChanged(); });
    removed_ = browser.didRemoveService.connect([this](const auto&, const auto&) { bonjourServicesChanged(); });
}

KLTServicesViewController::~KLTServicesViewController() {
    // Without the delegate its browser is gone too, and with it every connection.
    if (auto delegate = app_.lock()) {
        delegate->bonjourBrowser().didAddService.disconnect(added_);
        delegate->bonjourBrowser().didRemoveService.disconnect(removed_);
    }
}

std::vector<KLTBonjourService> KLTServicesViewController::services() const {
    auto delegate = app_.lock();
    return delegate ? delegate->bonjourBrowser().activeServiceList() : std::vector<KLTBonjourService>{};
}

void KLTServicesViewController::bonjourServicesChanged() {
    std::string list = "(";
    for (const auto& service : services()) {
        if (list.size() > 1) list += ", ";
        list += service.name;
    }
    list += ")";
    KLLog(kKLTLoggingLevelInfo, "Services Changes: %s", list.c_str());
}

}  // namespace kl

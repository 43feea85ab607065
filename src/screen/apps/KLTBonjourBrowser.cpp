#include "screen/apps/KLTBonjourBrowser.h"

#include <algorithm>

#include "foundation/KLTLogging.h"

namespace kl {

namespace {

std::mutex& typeLock() {
    static std::mutex m;
    return m;
}
std::string& typeName() {
    static std::string name;
    return name;
}

constexpr const char* kDomain = "local.";

}  // namespace

void KLTBonjourBrowser::setBonjourServiceName(std::string name) {
    std::lock_guard guard(typeLock());
    typeName() = std::move(name);
}

std::string KLTBonjourBrowser::bonjourServiceName() {
    std::lock_guard guard(typeLock());
    return typeName();
}

std::unique_ptr<KLTBonjourBrowser> KLTBonjourBrowser::create(DnsSdPost post) {
    auto browser = createWithoutStartingService(std::move(post));
    if (browser) browser->start();
    return browser;
}

std::unique_ptr<KLTBonjourBrowser> KLTBonjourBrowser::createWithoutStartingService(DnsSdPost post) {
    if (bonjourServiceName().empty()) {
        KLAssertFailed("BonjourServiceName string not set.");
        return nullptr;
    }
    return std::unique_ptr<KLTBonjourBrowser>(new KLTBonjourBrowser(std::move(post)));
}

void KLTBonjourBrowser::start() {
    if (browser_) return;
    std::string type = bonjourServiceName();
    if (type.empty()) return;
    if (type.front() != '_') type = "_" + type + "._tcp";
    std::weak_ptr<KLTBonjourBrowser*> weak = self_;
    browser_ = DnsSdBrowser::create(type, post_, [weak](const DnsSdBrowseEvent& event) {
        if (auto self = weak.lock()) (*self)->handle(event);
    });
}

void KLTBonjourBrowser::stop() { browser_.reset(); }

std::vector<KLTBonjourService> KLTBonjourBrowser::activeServiceList() const {
    std::lock_guard guard(lock_);
    return activeServiceList_;
}

void KLTBonjourBrowser::handle(const DnsSdBrowseEvent& event) {
    const std::vector<KLTBonjourService> batch{{event.name, event.type, event.domain.empty() ? kDomain : event.domain,
                                                event.interfaceIndex}};
    if (event.added) {
        willAddService.emit();
        {
            std::lock_guard guard(lock_);
            if (std::find(activeServiceList_.begin(), activeServiceList_.end(), batch[0]) == activeServiceList_.end())
                activeServiceList_.push_back(batch[0]);
        }
        didAddService.emit(batch);
    } else {
        willRemoveService.emit();
        {
            std::lock_guard guard(lock_);
            std::erase(activeServiceList_, batch[0]);
        }
        didRemoveService.emit({event.name}, batch);
    }
}

}  // namespace kl

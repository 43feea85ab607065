#include "foundation/KLTUserNotificationManager.h"

#include "foundation/KLTLogging.h"

namespace kl {

void KLTLogUserNotificationPresenter::presentUserNotification(const std::string& title, const std::string& message) {
    KLLog(kKLTLoggingLevelInfo, "User notification: %s: %s", title.c_str(), message.c_str());
}

KLTUserNotificationManager::KLTUserNotificationManager()
    : presenter_(std::make_shared<KLTLogUserNotificationPresenter>()) {}

KLTUserNotificationManager& KLTUserNotificationManager::sharedInstance() {
    static auto* manager = new KLTUserNotificationManager();  // kept for the life of the process
    return *manager;
}

void KLTUserNotificationManager::setPresenter(std::shared_ptr<KLTUserNotificationPresenter> presenter) {
    std::lock_guard lock(mutex_);
    presenter_ = presenter ? std::move(presenter) : std::make_shared<KLTLogUserNotificationPresenter>();
}

void KLTUserNotificationManager::deliverUserNotificationWithTitle(const std::optional<std::string>& title,
                                                                  const std::optional<std::string>& message) {
    if (!title || !message) return;
    std::shared_ptr<KLTUserNotificationPresenter> presenter;
    {
        std::lock_guard lock(mutex_);
        presenter = presenter_;
    }
    presenter->presentUserNotification(*title, *message);
}

}  // namespace kl

// KLTUserNotificationManager: shows the user a notification (a title and a text). Where it shows
// is up to the program: the daemon has no desktop and writes it to its log; the control app hands
// it to its tray icon by installing a presenter of its own.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kl {

class KLTUserNotificationPresenter {
public:
    virtual ~KLTUserNotificationPresenter() = default;
    virtual void presentUserNotification(const std::string& title, const std::string& message) = 0;
};

// The daemon's presenter: one info line "User notification: <title>: <message>".
class KLTLogUserNotificationPresenter : public KLTUserNotificationPresenter {
public:
    void presentUserNotification(const std::string& title, const std::string& message) override;
};

class KLTUserNotificationManager {
public:
    // Created on first use, never destroyed; presents through the log until told otherwise.
    static KLTUserNotificationManager& sharedInstance();

    void setPresenter(std::shared_ptr<KLTUserNotificationPresenter> presenter);
    // Presents when both title and message are given; does nothing otherwise.
    void deliverUserNotificationWithTitle(const std::optional<std::string>& title,
                                          const std::optional<std::string>& message);
    // Notifications are shown even while the posting program is in front.
    bool shouldPresentNotification() const { return true; }

private:
    KLTUserNotificationManager();
    mutable std::mutex mutex_;
    std::shared_ptr<KLTUserNotificationPresenter> presenter_;
};

}  // namespace kl

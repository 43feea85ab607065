// An account view the app keeps without showing: it holds the saved e-mail address as the user
// name, and its two actions only leave a line in the log.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "controlapp/ui/KLTAccountViewsLink.h"
#include "controlapp/ui/KLTViewController.h"
#include "foundation/KLTLogging.h"

namespace kl {

class KLTAccountViewController final : public KLTViewController {
public:
    explicit KLTAccountViewController(std::shared_ptr<KLTAccountViewsLink> link) {
        if (!link) return;
        std::weak_ptr<Fields> fields = fields_;
        link->savedEmailAddress([fields](std::string address) {
            if (auto f = fields.lock()) {
                std::lock_guard lock(f->lock);
                f->userName = std::move(address);
            }
        });
    }
    std::optional<std::string> userName() const {
        std::lock_guard lock(fields_->lock);
        return fields_->userName;
    }
    void changePassword() { KLLog(kKLTLoggingLevelInfo, "Change password"); }
    void removeHost() { KLLog(kKLTLoggingLevelInfo, "Remove host"); }

private:
    struct Fields {
        std::mutex lock;
        std::optional<std::string> userName;
    };
    std::shared_ptr<Fields> fields_ = std::make_shared<Fields>();
};

}  // namespace kl

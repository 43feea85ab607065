// The application section of each screen update, made from the application monitor: new
// applications with their icons, the window snapshot, fresh thumbnails and the menus after a
// change; otherwise the window snapshot and, at most once a second, fresh thumbnails.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "screen/KLGeometry.h"
#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/server/ApplicationInfoSource.h"

namespace kl {

class MonitorApplicationInfoSource final : public ApplicationInfoSource {
public:
    // The display set's scale-corrected origin, which window records are relative to.
    using DisplayOrigin = std::function<Point()>;
    static constexpr size_t kThumbnailsPerUpdate = 3;
    static constexpr double kThumbnailInterval = 1.0;

    explicit MonitorApplicationInfoSource(std::shared_ptr<KLTApplicationMonitor> monitor, DisplayOrigin origin = {});
    ~MonitorApplicationInfoSource() override;  // waits for a running poll

    void pollInBackground() override;
    bool sendApplicationSection(const SendRecord& send) override;

    KLTApplicationMonitor& monitor() { return *monitor_; }

private:
    bool sendApplicationUpdate(const SendRecord& send);
    bool sendWindowSnapshot(const SendRecord& send, const std::vector<KLTApplicationWindow>& windows);
    bool sendWindowUpdates(const SendRecord& send);
    bool sendMenus(const SendRecord& send, const std::vector<uint64_t>& discovered);
    Point origin() const { return origin_ ? origin_() : Point{}; }

    std::shared_ptr<KLTApplicationMonitor> monitor_;
    DisplayOrigin origin_;
    double lastThumbnailSend_ = 0;  // the caller's transmission lock serialises the sends

    std::mutex pollThreadLock_;
    std::thread pollThread_;  // pollThreadLock_
    std::shared_ptr<std::atomic<bool>> polling_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace kl

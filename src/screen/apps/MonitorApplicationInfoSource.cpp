#include "screen/apps/MonitorApplicationInfoSource.h"

#include <chrono>

#include "foundation/KLTLogging.h"
#include "platform/image/ImageFiles.h"
#include "screen/apps/ApplicationRecordSerialization.h"
#include "screen/protocol/ApplicationMessages.h"

namespace kl {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

MonitorApplicationInfoSource::MonitorApplicationInfoSource(std::shared_ptr<KLTApplicationMonitor> monitor,
                                                           DisplayOrigin origin)
    : monitor_(std::move(monitor)), origin_(std::move(origin)) {}

MonitorApplicationInfoSource::~MonitorApplicationInfoSource() {
    std::lock_guard guard(pollThreadLock_);
    if (pollThread_.joinable()) pollThread_.join();
}

void MonitorApplicationInfoSource::pollInBackground() {
    std::lock_guard guard(pollThreadLock_);
    if (polling_->load()) return;  // the running poll covers this request
    if (pollThread_.joinable()) pollThread_.join();
    polling_->store(true);
    pollThread_ = std::thread([monitor = monitor_, polling = polling_] {
        monitor->poll();
        polling->store(false);
    });
}

bool MonitorApplicationInfoSource::sendApplicationSection(const SendRecord& send) {
    if (monitor_->hasApplicationInfoToSend()) {
        const bool sent = sendApplicationUpdate(send);
        monitor_->ackPoll();
        return sent;
    }
    std::vector<KLTApplicationWindow> windows;
    {
        std::lock_guard guard(monitor_->lock());
        monitor_->updateWindowsFromAppStates(monitor_->applicationStates(), false, false);
        windows = monitor_->applicationWindows();
    }
    if (!sendWindowSnapshot(send, windows)) return false;
    const double now = steadySeconds();
    if (now - lastThumbnailSend_ <= kThumbnailInterval) return true;
    lastThumbnailSend_ = now;
    return sendWindowUpdates(send);
}

bool MonitorApplicationInfoSource::sendApplicationUpdate(const SendRecord& send) {
    std::vector<uint64_t> discovered;
    std::vector<KLTApplicationState> states;
    {
        std::lock_guard guard(monitor_->lock());
        discovered = monitor_->discoveredApplications();
        states = monitor_->applicationStates();
    }
    std::vector<AppInfo> apps;
    for (uint64_t pid : discovered) {
        auto state = std::find_if(states.begin(), states.end(), [&](const auto& s) { return s.applicationID == pid; });
        if (state == states.end() || !state->icon) continue;  // ended before the send
        AppInfo app;
        app.applicationID = pid;
        app.name = state->name;
        app.iconHash = state->icon->tiffHash;
        if (!monitor_->iconIsCached(app.iconHash)) app.icon = state->icon->tiff;
        apps.push_back(std::move(app));
    }
    if (!send(writeNewApplicationInfo(apps))) {
        KLLog(kKLTLoggingLevelError, "AppInfo update failed");
        return false;
    }
    monitor_->updateWindowsFromAppStates(states, false, false);
    return sendWindowSnapshot(send, monitor_->applicationWindows()) && sendWindowUpdates(send) &&
           sendMenus(send, discovered);
}

bool MonitorApplicationInfoSource::sendWindowSnapshot(const SendRecord& send,
                                                      const std::vector<KLTApplicationWindow>& windows) {
    std::vector<WindowStateRecord> records;
    const Point o = origin();
    for (const auto& w : windows) records.push_back(windowStateRecord(w, o));
    return send(writeWindowStateSnapshot(records));
}

bool MonitorApplicationInfoSource::sendWindowUpdates(const SendRecord& send) {
    const Point o = origin();
    for (const auto& window : monitor_->takeFreshThumbnails(kThumbnailsPerUpdate)) {
        auto png = encodePNG(window.thumbnail->view());
        if (!png) continue;  // an unreadable thumbnail is skipped, not sent broken
        Bytes record = writeApplicationThumbHeader(windowStateRecord(window, o), uint32_t(png->size()));
        record.insert(record.end(), png->begin(), png->end());
        if (!send(record)) {
            KLLog(kKLTLoggingLevelError, "Application Window update failed");
            return false;
        }
    }
    return true;
}

bool MonitorApplicationInfoSource::sendMenus(const SendRecord& send, const std::vector<uint64_t>& discovered) {
    std::vector<SerializedMenuItem> items;
    {
        std::lock_guard guard(monitor_->lock());  // lower-menu requests change the trees
        std::vector<uint64_t> seen;
        for (uint64_t pid : discovered)
            if (auto state = monitor_->applicationStateForPID(pid); state && state->topMenu)
                flattenMenus(*state->topMenu, items, seen);
    }
    if (items.empty()) return true;  // no menu at all: nothing is sent
    return send(writeMenusMessage(items));
}

}  // namespace kl

#include "screen/program/ScreenServiceApplications.h"

#include <mutex>

#include "foundation/KLTLogging.h"
#include "screen/apps/ApplicationMenuDatagrams.h"
#include "screen/apps/X11ApplicationPlatform.h"
#include "screen/apps/accessibility/AccessibilityEngine.h"
#include "screen/program/MonitorMenuPresser.h"
#include "screen/protocol/OutputDatagrams.h"

namespace kl {

namespace {

// Window records are relative to the streamed display set's scale-corrected origin; the set is
// read under the frame-buffer lock, which every change of it holds.
Point displayOrigin(const std::weak_ptr<ScreenServer>& weak) {
    auto server = weak.lock();
    if (!server) return {};
    std::lock_guard frameBuffer(*server->frameBufferLockObject());
    auto set = server->screen();
    return set ? set->scaleCorrectedDisplayBounds().origin : Point{};
}

}  // namespace

std::shared_ptr<ScreenServiceApplications> ScreenServiceApplications::attach(const std::shared_ptr<ScreenServer>& server,
                                                                             LocalScreenCaptureAppDelegate& delegate) {
    auto platform = X11ApplicationPlatform::open();
    if (!platform) return nullptr;
    auto self = std::make_shared<ScreenServiceApplications>();
    self->server_ = server;
    auto accessibility = makeSessionAccessibilityEngine();
    if (!accessibility->isEnabled()) KLLog(kKLTLoggingLevelInfo, "accessibility disabled: no menus are sent");
    self->monitor_ = std::make_shared<KLTApplicationMonitor>(platform, accessibility);
    self->menus_ = std::make_shared<MonitorMenuPresser>(self->monitor_);

    std::weak_ptr<ScreenServer> weak = server;
    server->setApplicationInfoSource(
        std::make_shared<MonitorApplicationInfoSource>(self->monitor_, [weak] { return displayOrigin(weak); }));
    std::weak_ptr<KLTApplicationMonitor> monitor = self->monitor_;
    server->setApplicationModelHooks({
        [monitor](const IconHash& hash) {
            if (auto m = monitor.lock()) m->cacheHash(hash);
        },
        [monitor] {
            if (auto m = monitor.lock()) m->fullReset();
        },
    });

    std::weak_ptr<ScreenServiceApplications> weakSelf = self;
    delegate.setApplicationHooks({
        [monitor] {
            auto m = monitor.lock();
            return m ? int64_t(m->activePID()) : int64_t(0);
        },
        [weakSelf](int64_t pid) {
            if (auto s = weakSelf.lock()) s->switched(uint64_t(pid));
        },
    });
    self->watcher_ = X11ApplicationWatcher::start(
        platform, {[monitor](const RunningApplication& application) {
                       if (auto m = monitor.lock()) m->notifiedOfNewApplication(application);
                   },
                   [monitor](uint64_t pid) {
                       if (auto m = monitor.lock()) m->notifiedOfTerminatedApplication(pid);
                   },
                   [weakSelf](uint64_t pid) {
                       if (auto s = weakSelf.lock()) s->switched(pid);
                   }});
    if (!self->watcher_) KLLog(kKLTLoggingLevelError, "deskgate: launches and switches cannot be followed");
    self->monitor_->setActivePID(platform->activeApplicationPID());
    self->delegate_ = &delegate;
    return self;
}

ScreenServiceApplications::~ScreenServiceApplications() { stop(); }

void ScreenServiceApplications::stop() {
    watcher_.reset();
    if (delegate_) delegate_->setApplicationHooks({});
    if (auto server = server_.lock()) server->setApplicationModelHooks({});
}

void ScreenServiceApplications::switched(uint64_t pid) {
    monitor_->setActivePID(pid);
    auto server = server_.lock();
    if (!server || !server->viewerConnected() || pid == 0) return;
    server->sendSidebandDatagram(writeActiveApplicationDatagram(int64_t(pid)));
    if (auto menu = topMenuDatagram(*monitor_, pid)) server->sendSidebandDatagram(*menu);
}

}  // namespace kl

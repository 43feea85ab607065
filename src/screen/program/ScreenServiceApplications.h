// The service's application model: the monitor over the X desktop and the session's
// accessibility bus, the root-window watcher that feeds its launch, termination and switch hooks,
// the update's application section and the menu requests, all tied to one screen server.
#pragma once

#include <cstdint>
#include <memory>

#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/MonitorApplicationInfoSource.h"
#include "screen/apps/X11ApplicationWatcher.h"
#include "screen/input/MenuPresser.h"
#include "screen/server/LocalScreenCaptureAppDelegate.h"
#include "screen/server/ScreenServer.h"

namespace kl {

class ScreenServiceApplications : public std::enable_shared_from_this<ScreenServiceApplications> {
public:
    // Null when no X server answers. The server and the delegate hold this object only weakly.
    static std::shared_ptr<ScreenServiceApplications> attach(const std::shared_ptr<ScreenServer>& server,
                                                             LocalScreenCaptureAppDelegate& delegate);
    ScreenServiceApplications() = default;
    ~ScreenServiceApplications();
    // Joins the watcher and detaches the hooks. Call it on the owner's thread before letting go:
    // the watcher's callbacks briefly hold this object, and its last holder must not be that thread.
    void stop();

    std::shared_ptr<MenuPresser> menuPresser() const { return menus_; }
    KLTApplicationMonitor& monitor() { return *monitor_; }

private:
    // The active application changed (the watcher, or the server's activation): the monitor and
    // the connected viewer learn it, the viewer with the application's top menu.
    void switched(uint64_t pid);

    std::weak_ptr<ScreenServer> server_;
    LocalScreenCaptureAppDelegate* delegate_ = nullptr;
    std::shared_ptr<KLTApplicationMonitor> monitor_;
    std::shared_ptr<MenuPresser> menus_;
    std::unique_ptr<X11ApplicationWatcher> watcher_;
};

}  // namespace kl

// The desktop as the X server shows it: applications are the processes behind top-level client
// windows (the window manager's list, else the root's mapped children), named by WM_CLASS and
// drawn by _NET_WM_ICON; thumbnails are read from the screen where the window shows (nothing is
// redirected, so what covers a window covers its thumbnail too).
#pragma once

#include <memory>
#include <mutex>

#include "platform/x11/X11Connection.h"
#include "screen/apps/ApplicationPlatform.h"

namespace kl {

class X11ApplicationPlatform final : public ApplicationPlatform {
public:
    // Null when no X server answers. name null: $DISPLAY.
    static std::shared_ptr<X11ApplicationPlatform> open(const char* name = nullptr);

    std::vector<RunningApplication> runningApplications() override;
    std::vector<BitmapImage> applicationIconRepresentations(uint64_t pid) override;
    std::vector<WindowListEntry> onScreenWindows() override;
    std::optional<BitmapImage> captureWindow(uint64_t windowNumber) override;
    // The process behind the active window; 0 when none is known.
    uint64_t activeApplicationPID();

    explicit X11ApplicationPlatform(std::unique_ptr<X11Connection> connection);

private:
    std::mutex lock_;  // one connection, used by the poll, its thumbnail half and the server's reader
    std::unique_ptr<X11Connection> connection_;  // lock_
};

}  // namespace kl

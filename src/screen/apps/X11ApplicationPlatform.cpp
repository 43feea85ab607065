#include "screen/apps/X11ApplicationPlatform.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <set>

#include "platform/x11/X11Applications.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Windows.h"

namespace kl {

namespace {

// Windows that stand for an application: what the window manager lists, or without one the
// mapped windows that are not popups.
std::vector<X11ClientWindow> applicationWindows(X11Connection& c) {
    auto windows = x11ClientWindows(c);
    const bool managed = x11HasWindowManagerList(c);
    std::erase_if(windows, [&](const X11ClientWindow& w) {
        return w.pid <= 0 || w.overrideRedirect || (!managed && !w.viewable);
    });
    return windows;
}

BitmapImage pictureFromArgb(const X11IconPicture& icon) {
    BitmapImage image{icon.width, icon.height, std::vector<uint8_t>(icon.argb.size() * 4), PixelFormat::BGRA};
    for (size_t i = 0; i < icon.argb.size(); ++i) {
        const uint32_t v = icon.argb[i];
        image.pixels[i * 4 + 0] = uint8_t(v);
        image.pixels[i * 4 + 1] = uint8_t(v >> 8);
        image.pixels[i * 4 + 2] = uint8_t(v >> 16);
        image.pixels[i * 4 + 3] = uint8_t(v >> 24);
    }
    return image;
}

}  // namespace

std::shared_ptr<X11ApplicationPlatform> X11ApplicationPlatform::open(const char* name) {
    auto connection = X11Connection::open(name);
    if (!connection) return nullptr;
    return std::make_shared<X11ApplicationPlatform>(std::move(connection));
}

X11ApplicationPlatform::X11ApplicationPlatform(std::unique_ptr<X11Connection> connection)
    : connection_(std::move(connection)) {}

std::vector<RunningApplication> X11ApplicationPlatform::runningApplications() {
    std::lock_guard guard(lock_);
    std::vector<RunningApplication> applications;
    std::set<int> seen;
    for (const auto& w : applicationWindows(*connection_))
        if (seen.insert(w.pid).second)
            applications.push_back({uint64_t(w.pid), x11ApplicationName(*connection_, w.id, w.pid)});
    return applications;
}

std::vector<BitmapImage> X11ApplicationPlatform::applicationIconRepresentations(uint64_t pid) {
    std::lock_guard guard(lock_);
    for (const auto& w : applicationWindows(*connection_)) {
        if (uint64_t(w.pid) != pid) continue;
        auto icons = x11WindowIcons(*connection_, w.id);
        if (icons.empty()) continue;
        std::vector<BitmapImage> representations;
        for (const auto& icon : icons) representations.push_back(pictureFromArgb(icon));
        return representations;
    }
    return {};
}

std::vector<WindowListEntry> X11ApplicationPlatform::onScreenWindows() {
    std::lock_guard guard(lock_);
    std::vector<WindowListEntry> entries;
    for (const auto& w : x11ClientWindows(*connection_)) {
        if (!w.viewable) continue;
        WindowListEntry e;
        e.windowNumber = w.id;
        e.ownerPID = uint64_t(std::max(w.pid, 0));
        e.name = w.title;
        e.bounds = Rect(w.bounds.x, w.bounds.y, w.bounds.width, w.bounds.height);
        e.alpha = w.opacity;
        e.onScreen = true;
        e.layer = w.overrideRedirect ? 1 : w.layer;
        e.workspace = w.desktop;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::optional<BitmapImage> X11ApplicationPlatform::captureWindow(uint64_t windowNumber) {
    std::lock_guard guard(lock_);
    auto info = x11WindowInfo(*connection_, windowNumber);
    if (!info) return std::nullopt;
    auto* display = static_cast<Display*>(connection_->display());
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    // Only the part on screen can be read.
    const int x0 = std::max(info->bounds.x, 0), y0 = std::max(info->bounds.y, 0);
    const int x1 = std::min(info->bounds.x + info->bounds.width, screenWidth);
    const int y1 = std::min(info->bounds.y + info->bounds.height, screenHeight);
    if (x1 <= x0 || y1 <= y0) return std::nullopt;
    BitmapImage image{x1 - x0, y1 - y0, {}, PixelFormat::BGRX};
    image.pixels.resize(size_t(image.width) * image.height * 4);
    if (!connection_->capture().capture({x0, y0, image.width, image.height}, image.pixels.data())) return std::nullopt;
    return image;
}

uint64_t X11ApplicationPlatform::activeApplicationPID() {
    std::lock_guard guard(lock_);
    const unsigned long window = x11ActiveOrFocusedWindow(*connection_);
    return window ? uint64_t(std::max(x11WindowPid(*connection_, window), 0)) : 0;
}

}  // namespace kl

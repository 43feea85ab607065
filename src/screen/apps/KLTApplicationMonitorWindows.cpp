// The window scan and the thumbnail pass of the application monitor.
#include <algorithm>
#include <thread>

#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/KLTImageAdditions.h"

namespace kl {

namespace {

constexpr int kThumbnailMaxPixels = 256;

// Windows of these programs belong to the desktop itself, not to an application.
bool isDesktopProgram(const std::string& name) { return name == "Dock" || name == "SystemUIServer"; }

}  // namespace

void KLTApplicationMonitor::updateWindowsFromAppStates(const std::vector<KLTApplicationState>& states,
                                                       bool updateThumbnails, bool inBackground) {
    auto stale = applicationWindows();
    const auto entries = platform_->onScreenWindows();
    uint32_t position = 0;
    for (const auto& entry : entries) {
        ++position;  // counts skipped entries too
        if (!entry.alpha || *entry.alpha == 0.0) continue;
        if (entry.onScreen && !*entry.onScreen) continue;
        if (entry.layer != 0) continue;
        auto owner = std::find_if(states.begin(), states.end(),
                                  [&](const auto& s) { return s.applicationID == entry.ownerPID; });
        if (owner == states.end() || isDesktopProgram(owner->name)) continue;
        if (owner->name == "iOS Simulator" && entry.name && entry.name->empty()) continue;

        KLTApplicationWindow window;
        if (auto existing = copyWindowForWID(entry.windowNumber)) {
            window = std::move(*existing);
            std::erase(stale, window);
        } else {
            window.applicationID = entry.ownerPID;
            window.windowID = entry.windowNumber;
        }
        window.windowName = entry.name;
        window.bounds = entry.bounds;
        window.desktopNumber = entry.workspace;
        window.windowZOrder = position;
        updateWindowState(std::move(window), false);
    }
    {
        std::lock_guard guard(lock_);
        std::erase_if(applicationWindows_,
                      [&](const auto& w) { return std::find(stale.begin(), stale.end(), w) != stale.end(); });
    }
    if (updateThumbnails) thumbnailPass(inBackground);
}

void KLTApplicationMonitor::thumbnailPass(bool inBackground) {
    for (auto window : applicationWindows()) {
        auto capture = platform_->captureWindow(window.windowID);
        std::string hash;
        auto reduced = capture ? newResizedImage(*capture, kThumbnailMaxPixels, &hash) : std::nullopt;
        // A window that shows nothing readable keeps the thumbnail it had.
        if (reduced) {
            window.thumbnail = std::make_shared<const BitmapImage>(std::move(*reduced));
            window.freshThumbnail = true;
            window.thumbnailHash = hash;
            updateWindowState(std::move(window), true);
        }
        if (inBackground) std::this_thread::sleep_for(thumbnailPause_.load());
    }
}

bool KLTApplicationMonitor::updateWindowState(KLTApplicationWindow window, bool shouldReplaceThumb) {
    std::optional<KLTApplicationWindow> changedThumbnail;
    bool added = false;
    {
        std::lock_guard guard(lock_);
        auto it = std::find(applicationWindows_.begin(), applicationWindows_.end(), window);
        if (it == applicationWindows_.end()) {
            applicationWindows_.push_back(std::move(window));
            added = true;
        } else {
            if (shouldReplaceThumb) {
                if (it->thumbnailHash != window.thumbnailHash)
                    changedThumbnail = window;
                else
                    window.freshThumbnail = false;
            } else {
                window.thumbnail = it->thumbnail;
                window.thumbnailHash = it->thumbnailHash;
                window.freshThumbnail = it->freshThumbnail;
            }
            *it = std::move(window);
        }
    }
    if (added) appOrWindowCountChanged.emit();
    if (changedThumbnail) windowThumbnailChanged.emit(*changedThumbnail);
    return added;
}

std::optional<KLTApplicationWindow> KLTApplicationMonitor::copyWindowForWID(uint64_t windowID) const {
    std::lock_guard guard(lock_);
    for (const auto& w : applicationWindows_)
        if (w.windowID == windowID) return w;
    return std::nullopt;
}

std::vector<KLTApplicationWindow> KLTApplicationMonitor::takeFreshThumbnails(size_t max) {
    std::vector<KLTApplicationWindow> fresh;
    std::lock_guard guard(lock_);
    for (auto& w : applicationWindows_) {
        if (fresh.size() >= max) break;
        if (!w.freshThumbnail || !w.thumbnail) continue;
        w.freshThumbnail = false;
        fresh.push_back(w);
    }
    return fresh;
}

bool KLTApplicationMonitor::applicationHasWindows(uint64_t pid) const {
    std::lock_guard guard(lock_);
    return std::any_of(applicationWindows_.begin(), applicationWindows_.end(),
                       [&](const auto& w) { return w.applicationID == pid; });
}

void KLTApplicationMonitor::pruneWindowStates() {
    size_t removed = 0;
    {
        std::lock_guard guard(lock_);
        removed = std::erase_if(applicationWindows_, [&](const auto& w) {
            return std::none_of(applicationStates_.begin(), applicationStates_.end(),
                                [&](const auto& s) { return s.applicationID == w.applicationID; });
        });
    }
    if (removed) appOrWindowCountChanged.emit();
}

}  // namespace kl

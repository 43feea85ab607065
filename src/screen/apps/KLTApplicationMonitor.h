// KLTApplicationMonitor: for the one viewer, a model of the running applications (name, pid,
// icon, menu bar), their on-screen windows with thumbnails, and the icons the viewer holds.
//
// Threads: poll() runs on a background thread (the screen server's update cycle starts it) and
// runs its window half and menu half in parallel; the launch, termination and switch hooks come
// from the desktop watcher; hasApplicationInfoToSend, ackPoll and the list copies come from the
// server's reader. Locks: pollLock serialises polls (which only try it), launches, acks and
// top-menu refreshes; the monitor's own recursive lock guards the three lists and the menu trees;
// the icon cache has a lock of its own. Desktop reads, captures and accessibility calls run
// outside the monitor's lock so that the server's update never waits on another program.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Signal.h"
#include "screen/apps/ApplicationPlatform.h"
#include "screen/apps/KLTApplicationRecords.h"
#include "screen/apps/accessibility/AccessibilityEngine.h"

namespace kl {

class KLTApplicationMonitor {
public:
    // Seconds on any steady scale; polls are throttled against it.
    using Clock = std::function<double()>;
    static constexpr double kPollInterval = 30.0;

    KLTApplicationMonitor(std::shared_ptr<ApplicationPlatform> platform, std::shared_ptr<AccessibilityEngine> accessibility,
                          Clock clock = {});

    // Refreshes applications, windows and menus; returns at once when the last poll started less
    // than 30 s ago or another holds pollLock.
    void poll();
    // True once per change, and only when no poll is running.
    bool hasApplicationInfoToSend();
    void ackPoll();
    void fullReset();

    // Desktop hooks.
    void notifiedOfNewApplication(const RunningApplication& application);
    void notifiedOfTerminatedApplication(uint64_t pid);
    void setActivePID(uint64_t pid) { activePID_ = pid; }
    uint64_t activePID() const { return activePID_; }

    // The viewer holds the icon whose TIFF has this MD5.
    void cacheHash(const MD5Digest& hash);
    bool iconIsCached(const MD5Digest& hash) const;
    size_t cachedIconCount() const;

    std::optional<KLTApplicationState> applicationStateForPID(uint64_t pid) const;
    void setTopMenu(std::shared_ptr<KLTApplicationMenu> menu, uint64_t pid);

    // Windows.
    void updateWindowsFromAppStates(const std::vector<KLTApplicationState>& states, bool updateThumbnails,
                                    bool inBackground);
    // True when the record was added, false when it replaced one with the same windowID.
    bool updateWindowState(KLTApplicationWindow window, bool shouldReplaceThumb);
    std::optional<KLTApplicationWindow> copyWindowForWID(uint64_t windowID) const;
    bool applicationHasWindows(uint64_t pid) const;
    // Up to max windows whose thumbnail is fresh, in list order; their fresh mark is cleared.
    std::vector<KLTApplicationWindow> takeFreshThumbnails(size_t max);
    void pruneWindowStates();

    // Menus.
    void manageMenuState();
    void refreshApplicationTopMenuForApplication(uint64_t pid);
    // Reads the element's children into parent one more level (the server clears submenus first).
    void continueMenu(uint64_t element, const std::shared_ptr<KLTApplicationMenu>& parent, uint64_t level,
                      uint64_t maxLevel);
    std::shared_ptr<KLTApplicationMenu> menuForElementID(uint64_t elementID, uint64_t pid) const;
    AccessibilityEngine& accessibility() { return *accessibility_; }

    // The monitor's own lock: the server holds it while it copies the lists.
    std::recursive_mutex& lock() const { return lock_; }
    std::vector<KLTApplicationState> applicationStates() const;
    std::vector<KLTApplicationWindow> applicationWindows() const;
    std::vector<uint64_t> discoveredApplications() const;
    bool pollComplete() const { return pollComplete_; }
    bool firstRun() const { return firstRun_; }
    // Pause after each thumbnail in background mode.
    void setThumbnailPause(std::chrono::milliseconds pause) { thumbnailPause_ = pause; }

    // Posted when an application or window record is added or removed, and when a window's
    // thumbnail changed; emitted on the monitor's calling thread outside its lock.
    Signal<> appOrWindowCountChanged;
    Signal<const KLTApplicationWindow&> windowThumbnailChanged;

private:
    KLTApplicationState updateApplicationState(const RunningApplication& application,
                                               const std::vector<KLTApplicationState>& states);
    std::shared_ptr<const ApplicationIcon> takeIcon(uint64_t pid);
    std::shared_ptr<KLTApplicationMenu> readTopMenu(const KLTApplicationState& state);
    void walkMenu(uint64_t element, const std::shared_ptr<KLTApplicationMenu>& parent, uint64_t level,
                  uint64_t maxLevel);
    void appendMenuItems(const std::vector<uint64_t>& children, const std::shared_ptr<KLTApplicationMenu>& parent,
                         uint64_t level, uint64_t maxLevel);
    void thumbnailPass(bool inBackground);
    double now() const { return clock_(); }

    std::shared_ptr<ApplicationPlatform> platform_;
    std::shared_ptr<AccessibilityEngine> accessibility_;
    Clock clock_;

    mutable std::recursive_mutex lock_;
    std::vector<KLTApplicationState> applicationStates_;   // lock_
    std::vector<KLTApplicationWindow> applicationWindows_;  // lock_
    std::vector<uint64_t> discoveredApplications_;          // lock_
    std::shared_ptr<KLTApplicationMenu> appleMenu_;         // lock_; never found on this desktop

    std::mutex pollLock_;
    std::atomic<bool> pollComplete_{false};
    std::atomic<double> lastRun_{0};
    std::atomic<bool> firstRun_{true};
    std::atomic<bool> hasNewApplicationStates_{false};
    std::atomic<uint64_t> activePID_{0};
    std::atomic<std::chrono::milliseconds> thumbnailPause_{std::chrono::milliseconds(100)};

    mutable std::mutex iconCacheLock_;
    std::map<std::string, KLTIconCacheEntry> knownIconCache_;  // iconCacheLock_
};

}  // namespace kl

#include "screen/apps/KLTApplicationMonitor.h"

#include <algorithm>
#include <thread>

#include "screen/apps/ApplicationIconFile.h"

namespace kl {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const KLTApplicationState* findState(const std::vector<KLTApplicationState>& states, uint64_t pid) {
    for (const auto& s : states)
        if (s.applicationID == pid) return &s;
    return nullptr;
}

}  // namespace

KLTApplicationMonitor::KLTApplicationMonitor(std::shared_ptr<ApplicationPlatform> platform,
                                             std::shared_ptr<AccessibilityEngine> accessibility, Clock clock)
    : platform_(std::move(platform)),
      accessibility_(accessibility ? std::move(accessibility) : std::make_shared<DisabledAccessibilityEngine>()),
      clock_(clock ? std::move(clock) : Clock(steadySeconds)) {}

void KLTApplicationMonitor::poll() {
    const double started = now();
    const double last = lastRun_;
    if (last != 0 && started - last < kPollInterval) return;
    std::unique_lock pollGuard(pollLock_, std::try_to_lock);
    if (!pollGuard.owns_lock()) return;
    pollComplete_ = false;
    lastRun_ = started;

    const auto known = applicationStates();
    for (const auto& application : platform_->runningApplications()) updateApplicationState(application, known);
    const auto states = applicationStates();

    // The menu half picks applications by their windows, so the window list is read first; the
    // thumbnails (the slow part, paused between windows) are then made while the menus are read.
    updateWindowsFromAppStates(states, false, false);
    std::thread thumbnails([&] { thumbnailPass(!firstRun_); });
    manageMenuState();
    thumbnails.join();

    pollComplete_ = true;
    std::lock_guard guard(lock_);
    hasNewApplicationStates_ = !discoveredApplications_.empty();
}

bool KLTApplicationMonitor::hasApplicationInfoToSend() {
    if (!pollComplete_) return false;
    bool expected = true;
    return hasNewApplicationStates_.compare_exchange_strong(expected, false);
}

void KLTApplicationMonitor::ackPoll() {
    std::lock_guard pollGuard(pollLock_);
    {
        std::lock_guard guard(lock_);
        // New information that arrived after the send keeps its applications for the next one.
        if (!hasNewApplicationStates_) discoveredApplications_.clear();
    }
    firstRun_ = false;
}

void KLTApplicationMonitor::fullReset() {
    {
        std::lock_guard guard(lock_);
        lastRun_ = 0;
        appleMenu_.reset();
        firstRun_ = true;
        pollComplete_ = false;
        applicationStates_.clear();
        applicationWindows_.clear();
        discoveredApplications_.clear();
    }
    std::lock_guard cacheGuard(iconCacheLock_);
    knownIconCache_.clear();
}

std::shared_ptr<const ApplicationIcon> KLTApplicationMonitor::takeIcon(uint64_t pid) {
    return makeApplicationIcon(platform_->applicationIconRepresentations(pid));
}

KLTApplicationState KLTApplicationMonitor::updateApplicationState(const RunningApplication& application,
                                                                  const std::vector<KLTApplicationState>& states) {
    const bool known = findState(states, application.pid) != nullptr;
    bool needsIcon = true;
    {
        std::lock_guard guard(lock_);
        if (const auto* current = findState(applicationStates_, application.pid)) needsIcon = !current->icon;
    }
    // An icon is taken once per state and kept, even when the application changes it later.
    auto icon = needsIcon ? takeIcon(application.pid) : nullptr;
    KLTApplicationState result;
    bool added = false;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(applicationStates_.begin(), applicationStates_.end(),
                               [&](const auto& s) { return s.applicationID == application.pid; });
        if (it == applicationStates_.end()) {
            if (known) {  // ended while this poll ran: the termination hook removed it
                result = *findState(states, application.pid);
                result.name = application.localizedName;
                return result;
            }
            discoveredApplications_.push_back(application.pid);
            applicationStates_.push_back({});
            it = applicationStates_.end() - 1;
            added = true;
        }
        it->name = application.localizedName;
        it->applicationID = application.pid;
        if (!it->icon) it->icon = icon;
        result = *it;
    }
    if (added) appOrWindowCountChanged.emit();
    return result;
}

void KLTApplicationMonitor::notifiedOfNewApplication(const RunningApplication& application) {
    std::lock_guard pollGuard(pollLock_);
    auto state = updateApplicationState(application, applicationStates());
    manageMenuState();
    updateWindowsFromAppStates({state}, true, false);
    hasNewApplicationStates_ = true;
}

void KLTApplicationMonitor::notifiedOfTerminatedApplication(uint64_t pid) {
    bool removed = false;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(applicationStates_.begin(), applicationStates_.end(),
                               [&](const auto& s) { return s.applicationID == pid; });
        if (it != applicationStates_.end()) {
            applicationStates_.erase(it);
            removed = true;
        }
    }
    if (removed) appOrWindowCountChanged.emit();
    pruneWindowStates();
    hasNewApplicationStates_ = true;
}

void KLTApplicationMonitor::cacheHash(const MD5Digest& hash) {
    std::lock_guard guard(iconCacheLock_);
    knownIconCache_[hexString(hash)] = KLTIconCacheEntry{hash, std::nullopt};
}

bool KLTApplicationMonitor::iconIsCached(const MD5Digest& hash) const {
    std::lock_guard guard(iconCacheLock_);
    return knownIconCache_.contains(hexString(hash));
}

size_t KLTApplicationMonitor::cachedIconCount() const {
    std::lock_guard guard(iconCacheLock_);
    return knownIconCache_.size();
}

std::optional<KLTApplicationState> KLTApplicationMonitor::applicationStateForPID(uint64_t pid) const {
    std::lock_guard guard(lock_);
    if (const auto* s = findState(applicationStates_, pid)) return *s;
    return std::nullopt;
}

void KLTApplicationMonitor::setTopMenu(std::shared_ptr<KLTApplicationMenu> menu, uint64_t pid) {
    std::lock_guard guard(lock_);
    for (auto& s : applicationStates_)
        if (s.applicationID == pid) {
            s.topMenu = std::move(menu);
            return;
        }
}

std::vector<KLTApplicationState> KLTApplicationMonitor::applicationStates() const {
    std::lock_guard guard(lock_);
    return applicationStates_;
}

std::vector<KLTApplicationWindow> KLTApplicationMonitor::applicationWindows() const {
    std::lock_guard guard(lock_);
    return applicationWindows_;
}

std::vector<uint64_t> KLTApplicationMonitor::discoveredApplications() const {
    std::lock_guard guard(lock_);
    return discoveredApplications_;
}

}  // namespace kl

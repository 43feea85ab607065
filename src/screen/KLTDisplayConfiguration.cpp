#include "screen/KLTDisplayConfiguration.h"

#include <algorithm>
#include <cstdio>

#include "foundation/KLTLogging.h"
#include "platform/x11/X11EventWatcher.h"
#include "platform/x11/X11Windows.h"
#include "screen/KLGeometryHelpers.h"
#include "screen/KLTScreen.h"

namespace kl {

KLTDisplayConfiguration& KLTDisplayConfiguration::displayConfigurationManager() {
    static auto* shared = new KLTDisplayConfiguration(mainLoop());  // lives for the process
    return *shared;
}

KLTDisplayConfiguration::KLTDisplayConfiguration(MainLoop& loop) : mLoop(loop) {}

KLTDisplayConfiguration::~KLTDisplayConfiguration() {
    *mAlive = false;
    mMonitorPoll.cancel();
    mWindowLocationTimer.cancel();
}

void KLTDisplayConfiguration::onLoop(std::function<void()> task) {
    if (mLoop.isCurrentThread()) {
        task();
        return;
    }
    mLoop.post([alive = mAlive, task = std::move(task)] {
        if (*alive) task();
    });
}

void KLTDisplayConfiguration::setDelegate(std::weak_ptr<KLTDisplayConfigurationDelegate> delegate) {
    std::lock_guard lock(mDelegateMutex);
    mDelegate = std::move(delegate);
}

std::recursive_mutex* KLTDisplayConfiguration::frameBufferLockObject() {
    std::shared_ptr<KLTDisplayConfigurationDelegate> delegate;
    {
        std::lock_guard lock(mDelegateMutex);
        delegate = mDelegate.lock();
    }
    return delegate ? delegate->frameBufferLockObject() : nullptr;
}

bool KLTDisplayConfiguration::startListeningForDevice(std::optional<std::string> name) {
    if (!X11Connection::forThisThread()) return false;
    mRegisteredForReconfigurationCallback = true;
    {
        std::lock_guard lock(mDelegateMutex);
        mDisplayNameOfInterest = std::move(name);
    }
    onLoop([this] { updateWatcher(); });
    return true;
}

void KLTDisplayConfiguration::stopListening() {
    if (!mRegisteredForReconfigurationCallback) return;
    mRegisteredForReconfigurationCallback = false;
    {
        std::lock_guard lock(mDelegateMutex);
        mDisplayNameOfInterest.reset();
    }
    onLoop([this] { updateWatcher(); });
}

void KLTDisplayConfiguration::setListenToScreenRefresh(bool listen) {
    int32_t count = mListenerCount.load();
    while (!mListenerCount.compare_exchange_weak(count, listen ? count + 1 : std::max(0, count - 1))) {
    }
    if (!listen && count == 0) KLLog(kKLTLoggingLevelInfo, "screen refresh: more stops than starts, ignored");
    mRegisteredForRefresh = true;
    onLoop([this] { updateWatcher(); });
}

// Opens the event connection while anything wants events and closes it when nothing does.
void KLTDisplayConfiguration::updateWatcher() {
    bool wantRefresh = mListenerCount > 0;
    bool wantChanges = mRegisteredForReconfigurationCallback;
    if (!wantRefresh && !wantChanges) {
        mMonitorPoll.cancel();
        mMonitorPoll = CancelHandle();
        mWatcher.reset();
        mRefreshRegistered = false;
        return;
    }
    if (!mWatcher) {
        mWatcher = X11EventWatcher::create(mLoop);
        if (!mWatcher) {
            KLLog(kKLTLoggingLevelError, "display configuration: no X server");
            return;
        }
    }
    if (wantChanges && !mMonitorPoll.valid()) {
        mKnownDisplays = DisplayServer::currentDisplays();
        mWatcher->setRandrHandler([this] { checkDisplays(); });
        mMonitorPoll = mLoop.every(kMonitorPollInterval, [this, alive = mAlive] {
            if (*alive) checkDisplays();
        });
    } else if (!wantChanges && mMonitorPoll.valid()) {
        mMonitorPoll.cancel();
        mMonitorPoll = CancelHandle();
        mWatcher->setRandrHandler(nullptr);
    }
    if (wantRefresh != mRefreshRegistered) {
        // Re-registering replaces the old callback: at most one is ever active.
        if (wantRefresh)
            mWatcher->setDamageHandler([this](const std::vector<X11Rect>& rects) { forwardRefresh(rects); });
        else
            mWatcher->setDamageHandler(nullptr);
        mRefreshRegistered = wantRefresh;
    }
}

void KLTDisplayConfiguration::forwardRefresh(const std::vector<X11Rect>& rootRects) {
    Point origin = DisplayServer::primaryRootOrigin();
    std::vector<Rect> rects;
    rects.reserve(rootRects.size());
    for (const auto& r : rootRects) rects.emplace_back(r.x - origin.x, r.y - origin.y, r.width, r.height);
    displayScreenRefreshCallback(uint32_t(rects.size()), rects.data());
}

void KLTDisplayConfiguration::displayScreenRefreshCallback(uint32_t count, const Rect* rects) {
    std::shared_ptr<KLTDisplayConfigurationDelegate> delegate;
    {
        std::lock_guard lock(mDelegateMutex);
        delegate = mDelegate.lock();
    }
    if (!delegate) return;
    delegate->feedQueuedRefreshes();
    delegate->screenRefreshed(count, rects);
}

// Compares the monitors with the ones known and reports each change: first a begin call for
// every display concerned, then its end flags.
void KLTDisplayConfiguration::checkDisplays() {
    std::vector<DisplayInfo> now = DisplayServer::currentDisplays();
    if (now == mKnownDisplays) return;
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    auto find = [](const std::vector<DisplayInfo>& list, uint32_t id) {
        return std::find_if(list.begin(), list.end(), [id](const DisplayInfo& d) { return d.displayID == id; });
    };
    for (const auto& old : mKnownDisplays)
        if (find(now, old.displayID) == now.end()) changes.push_back({old.displayID, kCGDisplayRemoveFlag});
    for (const auto& d : now) {
        auto old = find(mKnownDisplays, d.displayID);
        if (old == mKnownDisplays.end()) {
            changes.push_back({d.displayID, kCGDisplayAddFlag | kCGDisplayEnabledFlag});
            continue;
        }
        uint32_t flags = 0;
        if (old->bounds.origin != d.bounds.origin) flags |= kCGDisplayMovedFlag;
        if (old->bounds.size != d.bounds.size) flags |= kCGDisplaySetModeFlag | kCGDisplayDesktopShapeChangedFlag;
        if (old->primary != d.primary) flags |= kCGDisplaySetMainFlag;
        if (flags) changes.push_back({d.displayID, flags});
    }
    mKnownDisplays = std::move(now);
    DisplayServer::noteDisplayChange();
    for (const auto& [id, flags] : changes) displayReconfigurationCallBack(id, kCGDisplayBeginConfigurationFlag);
    for (const auto& [id, flags] : changes) displayReconfigurationCallBack(id, flags);
}

void KLTDisplayConfiguration::displayReconfigurationCallBack(uint32_t displayID, uint32_t flags) {
    std::recursive_mutex* frameBufferLock = frameBufferLockObject();
    std::unique_lock<std::recursive_mutex> lock;
    if (frameBufferLock) lock = std::unique_lock(*frameBufferLock);

    std::string name = KLTScreen::userDescriptionForDisplayID(displayID);
    std::optional<std::string> nameOfInterest = displayNameOfInterest();
    bool matches = !nameOfInterest || *nameOfInterest == name;
    bool isNameOfInterest = nameOfInterest && *nameOfInterest == name;
    std::shared_ptr<KLTDisplayConfigurationDelegate> delegate;
    {
        std::lock_guard guard(mDelegateMutex);
        delegate = mDelegate.lock();
    }
    if (delegate && matches) delegate->screenReconfigured(flags);
    if (!mRegisteredForReconfigurationCallback) return;

    if (flags & kCGDisplayAddFlag) {
        if (isNameOfInterest) {
            if (flags & kCGDisplayMirrorFlag) {
                mDisplayIDOfInterest = 0;
            } else {
                mDisplayIDOfInterest = displayID;
                moveWindowsOfInterestBack();
                displayOfInterestAdded();
            }
        }
        displayAdded(displayID);
    } else if (flags & kCGDisplayRemoveFlag) {
        if (displayID == mDisplayIDOfInterest) {
            resetWindowLocationTimer();
            displayOfInterestRemoved();
            mDisplayIDOfInterest = 0;
        }
        displayRemoved(displayID);
    }
    if ((flags & kCGDisplayMovedFlag) && isNameOfInterest) {
        mDisplayIDOfInterest = displayID;
        moveWindowsOfInterestBack();
        displayOfInterestAdded();
    }
    if ((flags & kCGDisplayDesktopShapeChangedFlag) && isNameOfInterest) desktopShapeChangedForDisplayID(displayID, flags);
}

std::optional<std::string> KLTDisplayConfiguration::displayNameOfInterest() {
    std::lock_guard lock(mDelegateMutex);
    return mDisplayNameOfInterest;
}

void KLTDisplayConfiguration::post(const char* name, Value userInfo) {
    if (!mSendNotifications) return;
    postNotificationOnMainThread(mLoop, mNotifications, std::string(name), std::move(userInfo));
}

void KLTDisplayConfiguration::displayAdded(uint32_t displayID) {
    post(kGVEDisplayWasAddedNotification,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(KLTScreen::userDescriptionForDisplayID(displayID))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(displayID))}}));
}

void KLTDisplayConfiguration::displayRemoved(uint32_t displayID) {
    post(kGVEDisplayWasRemovedNotification,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(KLTScreen::userDescriptionForDisplayID(displayID))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(displayID))}}));
}

void KLTDisplayConfiguration::displayOfInterestAdded() {
    setupWindowLocationTimer();
    mDisplayOfInterestBounds = KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(mDisplayIDOfInterest);
    post(kGVEDisplayOfInterestWasAddedNotification,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(displayNameOfInterest().value_or(""))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(mDisplayIDOfInterest))}}));
}

void KLTDisplayConfiguration::displayOfInterestRemoved() {
    resetWindowLocationTimer();
    post(kGVEDisplayOfInterestWasRemovedNotification,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(displayNameOfInterest().value_or(""))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(mDisplayIDOfInterest))}}));
}

void KLTDisplayConfiguration::desktopShapeChangedForDisplayID(uint32_t displayID, uint32_t flags) {
    post(kGVEDesktopShapeChangedNotification,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(KLTScreen::userDescriptionForDisplayID(displayID))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(displayID))},
                          {kGVEDisplayConfigurationFlagsKey, Value(uint64_t(flags))}}));
}

void KLTDisplayConfiguration::setWindowsOfInterestSupport(bool support) {
    if (support == mWindowsOfInterestSupport) return;
    mWindowsOfInterestSupport = support;
    if (support) onLoop([this] { resetWindowLocationTimer(); });
}

void KLTDisplayConfiguration::turnOnWindowsOfInterestSupportAndUpdate() {
    setWindowsOfInterestSupport(true);
    moveWindowsOfInterestBack();
}

void KLTDisplayConfiguration::setupWindowLocationTimer() {
    onLoop([this] {
        mWindowLocationTimer.cancel();
        mWindowLocationTimer = mLoop.every(kPollingTimeForWindowsOfInterest, [this, alive = mAlive] {
            if (*alive && mWindowsOfInterestSupport) getWindowsOfInterest();
        });
    });
}

void KLTDisplayConfiguration::resetWindowLocationTimer() {
    onLoop([this] {
        mWindowLocationTimer.cancel();
        mWindowLocationTimer = CancelHandle();
    });
}

namespace {
WindowOfInterest windowOfInterestFrom(const X11WindowInfo& w) {
    Point origin = DisplayServer::rootToGlobal({double(w.bounds.x), double(w.bounds.y)});
    return {uint32_t(w.id), w.name, Rect(origin, Size{double(w.bounds.width), double(w.bounds.height)}), w.pid, w.layer};
}
}  // namespace

void KLTDisplayConfiguration::getWindowsOfInterest() {
    if (!mLoop.isCurrentThread()) {
        KLLog(kKLTLoggingLevelError, "We should not be calling this on any other thread than mainThread");
        return;
    }
    X11Connection* c = X11Connection::forThisThread();
    if (!mDisplayIDOfInterest || mMovingWindowsOfInterest || !c) return;
    Rect displayBounds = KLTScreen::scaleCorrectedDisplayBoundsForDisplayID(mDisplayIDOfInterest);
    std::set<uint32_t> present;
    for (const auto& w : x11OnScreenWindows(*c)) {
        if (w.layer != 0 && w.layer != 3) continue;
        WindowOfInterest window = windowOfInterestFrom(w);
        present.insert(window.windowID);
        Rect common = window.bounds.intersection(displayBounds);
        if (common.isNull() || common.size.width <= 0 || common.size.height <= 0) continue;
        auto known = std::find_if(mWindowsOfInterest.begin(), mWindowsOfInterest.end(),
                                  [&](const WindowOfInterest& k) { return k.windowID == window.windowID; });
        if (known != mWindowsOfInterest.end()) {
            *known = window;
        } else {
            mWindowsOfInterest.push_back(window);
            mWindowsOfInterestWindowIDs.insert(window.windowID);
            windowMovedOnDisplayOfInterest(window.windowID);
        }
    }
    if (!mRegisteredForRefresh) return;
    for (auto it = mWindowsOfInterest.begin(); it != mWindowsOfInterest.end();) {
        auto now = present.count(it->windowID) ? windowDescriptionForWindowID(it->windowID) : std::nullopt;
        Rect common = now ? now->bounds.intersection(mDisplayOfInterestBounds) : Rect::null();
        if (now && !common.isNull() && common.size.width > 0 && common.size.height > 0) {
            ++it;
            continue;
        }
        uint32_t gone = it->windowID;
        mWindowsOfInterestWindowIDs.erase(gone);
        it = mWindowsOfInterest.erase(it);
        windowMovedOffDisplayOfInterest(gone);
    }
}

void KLTDisplayConfiguration::moveWindowsOfInterestBack() {
    onLoop([this] {
        X11Connection* c = X11Connection::forThisThread();
        if (!mWindowsOfInterestSupport || !c) return;
        mMovingWindowsOfInterest = true;
        std::vector<WindowOfInterest> onScreen;
        for (const auto& w : x11OnScreenWindows(*c)) onScreen.push_back(windowOfInterestFrom(w));
        for (const auto& entry : mWindowsOfInterest) {
            if (auto match = findMatchingWindowRefInArray(onScreen, entry)) moveAXWindow(match->windowID, entry.bounds.origin);
        }
        mMovingWindowsOfInterest = false;
    });
}

std::optional<WindowOfInterest> KLTDisplayConfiguration::windowDescriptionForWindowID(uint32_t windowID) {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return std::nullopt;
    auto info = x11WindowInfo(*c, windowID);
    if (!info) return std::nullopt;
    return windowOfInterestFrom(*info);
}

std::optional<WindowOfInterest> KLTDisplayConfiguration::findMatchingWindowRefInArray(
    const std::vector<WindowOfInterest>& windows, const WindowOfInterest& entry) {
    auto now = windowDescriptionForWindowID(entry.windowID);
    Rect reported = now ? now->bounds : Rect();
    for (const auto& w : windows)
        if (w.name == entry.name && w.bounds == reported) return w;
    return std::nullopt;
}

void KLTDisplayConfiguration::moveAXWindow(uint32_t windowID, Point to) {
    X11Connection* c = X11Connection::forThisThread();
    if (!c) return;
    Point root = DisplayServer::globalToRoot(to);
    x11MoveWindow(*c, windowID, int(root.x), int(root.y));
}

void KLTDisplayConfiguration::windowMovedOnDisplayOfInterest(uint32_t windowID) {
    post(kGVEWindowMovedOnDisplayOfInterest,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(displayNameOfInterest().value_or(""))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(mDisplayIDOfInterest))},
                          {kGVEDisplayConfigurationWindowIDKey, Value(int64_t(windowID))}}));
}

void KLTDisplayConfiguration::windowMovedOffDisplayOfInterest(uint32_t windowID) {
    post(kGVEWindowMovedOffDisplayOfInterest,
         Value(Dictionary{{kGVEDisplayConfigurationDisplayNameKey, Value(displayNameOfInterest().value_or(""))},
                          {kGVEDisplayConfigurationDisplayIDKey, Value(uint64_t(mDisplayIDOfInterest))},
                          {kGVEDisplayConfigurationWindowIDKey, Value(int64_t(windowID))}}));
}

std::string KLTDisplayConfiguration::stringFromCGDisplayChangeSummaryFlags(uint32_t flags) {
    static const std::pair<uint32_t, const char*> names[] = {
        {0x1, "kCGDisplayBeginConfigurationFlag "}, {0x2, "kCGDisplayMovedFlag "},
        {0x4, "kCGDisplaySetMainFlag "},            {0x8, "kCGDisplaySetModeFlag "},
        {0x10, "kCGDisplayAddFlag "},               {0x20, "kCGDisplayRemoveFlag "},
        {0x100, "kCGDisplayEnabledFlag "},          {0x200, "kCGDisplayDisabledFlag "},
        {0x400, "kCGDisplayMirrorFlag "},           {0x800, "kCGDisplayUnMirrorFlag "},
        {0x1000, "kCGDisplayDesktopShapeChangedFlag "},
    };
    std::string text = "DisplayChangeSummaryFlags: ";
    for (const auto& [bit, name] : names)
        if (flags & bit) text += name;
    return text;
}

std::string KLTDisplayConfiguration::displayNameStringWithCGDirectDisplayID(uint32_t displayID) {
    if (auto name = KLTScreen::copyDisplayNameForDisplayID(displayID)) return *name;
    char text[48];
    std::snprintf(text, sizeof text, "Unknown Display (%p)", reinterpret_cast<void*>(uintptr_t(displayID)));
    return text;
}

}  // namespace kl

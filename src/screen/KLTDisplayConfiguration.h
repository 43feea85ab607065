// The one place the screen service hears about its displays from the X server: redrawn areas
// (forwarded as refreshes while at least one viewer listens) and changes of the monitor layout
// (forwarded as reconfigurations, a begin call then the end flags, with the delegate's
// frame-buffer lock held). Both arrive on the main loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Executors.h"
#include "platform/Signal.h"
#include "platform/Value.h"
#include "screen/DisplayServer.h"
#include "screen/KLGeometry.h"

namespace kl {

class X11EventWatcher;

// Display change summary flags.
enum : uint32_t {
    kCGDisplayBeginConfigurationFlag = 0x1,
    kCGDisplayMovedFlag = 0x2,
    kCGDisplaySetMainFlag = 0x4,
    kCGDisplaySetModeFlag = 0x8,
    kCGDisplayAddFlag = 0x10,
    kCGDisplayRemoveFlag = 0x20,
    kCGDisplayEnabledFlag = 0x100,
    kCGDisplayDisabledFlag = 0x200,
    kCGDisplayMirrorFlag = 0x400,
    kCGDisplayUnMirrorFlag = 0x800,
    kCGDisplayDesktopShapeChangedFlag = 0x1000,
};

class KLTDisplayConfigurationDelegate {
public:
    virtual ~KLTDisplayConfigurationDelegate() = default;
    virtual std::recursive_mutex* frameBufferLockObject() = 0;
    virtual void screenReconfigured(uint32_t flags) = 0;
    virtual void feedQueuedRefreshes() = 0;
    virtual void screenRefreshed(uint32_t count, const Rect* rects) = 0;
};

inline const char* const kGVEDisplayWasAddedNotification = "GVEDisplayWasAddedNotification";
inline const char* const kGVEDisplayWasRemovedNotification = "GVEDisplayWasRemovedNotification";
inline const char* const kGVEDisplayOfInterestWasAddedNotification = "GVEDisplayOfInterestWasAddedNotification";
inline const char* const kGVEDisplayOfInterestWasRemovedNotification = "GVEDisplayOfInterestWasRemovedNotification";
inline const char* const kGVEWindowMovedOnDisplayOfInterest = "GVEWindowMovedOnDisplayOfInterest";
inline const char* const kGVEWindowMovedOffDisplayOfInterest = "GVEWindowMovedOffDisplayOfInterest";
inline const char* const kGVEDesktopShapeChangedNotification = "GVEDesktopShapeChangedNotification";
inline const char* const kGVEDisplayConfigurationDisplayNameKey = "GVEDisplayConfigurationDisplayNameKey";
inline const char* const kGVEDisplayConfigurationDisplayIDKey = "GVEDisplayConfigurationDisplayIDKey";
inline const char* const kGVEDisplayConfigurationWindowIDKey = "GVEDisplayConfigurationWindowIDKey";
inline const char* const kGVEDisplayConfigurationFlagsKey = "GVEDisplayConfigurationFlagsKey";

// A window seen on the display of interest, in global coordinates.
struct WindowOfInterest {
    uint32_t windowID = 0;
    std::string name;
    Rect bounds;
    int ownerPID = 0;
    int layer = 0;
};

class KLTDisplayConfiguration {
public:
    // Seconds between comparisons of the monitor list (setting a monitor sends no event).
    static constexpr auto kMonitorPollInterval = std::chrono::seconds(2);
    static constexpr auto kPollingTimeForWindowsOfInterest = std::chrono::seconds(2);

    // The process's instance, on the program's main loop.
    static KLTDisplayConfiguration& displayConfigurationManager();
    explicit KLTDisplayConfiguration(MainLoop& loop);
    ~KLTDisplayConfiguration();

    void setDelegate(std::weak_ptr<KLTDisplayConfigurationDelegate> delegate);
    std::recursive_mutex* frameBufferLockObject();

    // Starts hearing about display changes; name: the display to track (nullopt: every display).
    // False when the X server cannot be reached.
    bool startListeningForDevice(std::optional<std::string> name);
    void stopListening();
    // One YES per viewer that wants refreshes, one NO when it goes. The count never drops below
    // zero, so surplus NOs of a disconnect cannot starve the next viewer.
    void setListenToScreenRefresh(bool listen);
    bool listenToScreenRefresh() const { return false; }
    int32_t refreshListenerCount() const { return mListenerCount; }
    bool refreshCallbackRegistered() const { return mRefreshRegistered; }
    bool registeredForReconfigurationCallback() const { return mRegisteredForReconfigurationCallback; }
    bool registeredForRefresh() const { return mRegisteredForRefresh; }

    // The platform callbacks (main loop).
    void displayReconfigurationCallBack(uint32_t displayID, uint32_t flags);
    void displayScreenRefreshCallback(uint32_t count, const Rect* rects);

    // Windows-of-interest facility (the service never switches it on).
    void setSendNotifications(bool send) { mSendNotifications = send; }
    void setWindowsOfInterestSupport(bool support);
    void turnOnWindowsOfInterestSupportAndUpdate();
    void moveWindowsOfInterestBack();
    void getWindowsOfInterest();
    void setupWindowLocationTimer();
    void resetWindowLocationTimer();
    uint32_t displayIDOfInterest() const { return mDisplayIDOfInterest; }
    // Main-loop state of the facility.
    const std::vector<WindowOfInterest>& windowsOfInterest() const { return mWindowsOfInterest; }
    std::optional<WindowOfInterest> windowDescriptionForWindowID(uint32_t windowID);
    // The first window with the entry's name whose bounds are what the server now reports for the
    // entry's window.
    std::optional<WindowOfInterest> findMatchingWindowRefInArray(const std::vector<WindowOfInterest>& windows,
                                                                const WindowOfInterest& entry);
    void moveAXWindow(uint32_t windowID, Point to);
    // Notifications: name and user information, emitted on the main loop.
    Signal<std::string, Value>& notifications() { return mNotifications; }

    static std::string stringFromCGDisplayChangeSummaryFlags(uint32_t flags);
    static std::string displayNameStringWithCGDirectDisplayID(uint32_t displayID);

private:
    void onLoop(std::function<void()> task);
    void updateWatcher();
    void checkDisplays();
    void forwardRefresh(const std::vector<X11Rect>& rootRects);
    void displayAdded(uint32_t displayID);
    void displayRemoved(uint32_t displayID);
    void displayOfInterestAdded();
    void displayOfInterestRemoved();
    void desktopShapeChangedForDisplayID(uint32_t displayID, uint32_t flags);
    void post(const char* name, Value userInfo);
    void windowMovedOnDisplayOfInterest(uint32_t windowID);
    void windowMovedOffDisplayOfInterest(uint32_t windowID);
    std::optional<std::string> displayNameOfInterest();

    MainLoop& mLoop;
    std::weak_ptr<KLTDisplayConfigurationDelegate> mDelegate;
    std::mutex mDelegateMutex;
    std::atomic<bool> mRegisteredForReconfigurationCallback{false};
    std::optional<std::string> mDisplayNameOfInterest;  // under mDelegateMutex
    std::atomic<uint32_t> mDisplayIDOfInterest{0};
    Rect mDisplayOfInterestBounds;
    bool mSendNotifications = false;
    bool mWindowsOfInterestSupport = false;
    bool mMovingWindowsOfInterest = false;
    CancelHandle mWindowLocationTimer;
    std::vector<WindowOfInterest> mWindowsOfInterest;
    std::set<uint32_t> mWindowsOfInterestWindowIDs;
    std::atomic<bool> mRegisteredForRefresh{false};
    std::atomic<int32_t> mListenerCount{0};
    std::atomic<bool> mRefreshRegistered{false};

    // Main-loop state.
    std::unique_ptr<X11EventWatcher> mWatcher;
    CancelHandle mMonitorPoll;
    std::vector<DisplayInfo> mKnownDisplays;
    Signal<std::string, Value> mNotifications;
    std::shared_ptr<bool> mAlive = std::make_shared<bool>(true);
};

}  // namespace kl

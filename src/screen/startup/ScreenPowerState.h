// The service's view of the screen's sleep and screen saver, and what it does about them for a
// viewer: the screen wakes when a viewer connects and stays awake while one is connected; when
// the viewer leaves, a screen that was asleep at connection time is put back to sleep.
//
// Threads: the sleep and saver reports and wake/restore come on the main loop, removeScreenSaver
// from the viewer's reader; one lock guards the fields.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace kl {

// The display's power and the idle timer of the screen saver.
class DisplayPower {
public:
    virtual ~DisplayPower() = default;
    // Sleeps or wakes the display; nothing where the display cannot sleep.
    virtual void setDisplayAsleep(bool asleep) = 0;
    virtual void resetScreenSaver() = 0;
};

class ScreenPowerState {
public:
    ScreenPowerState(std::shared_ptr<DisplayPower> power, std::function<bool()> viewerConnected);

    // The display's reports.
    void displayWentToSleep();
    void displayWoke();
    void screenSaverChanged(bool running);

    bool displayAsleep();
    bool screenSaverRunning();

    // A viewer connected / left.
    void wakeScreen();
    void restoreScreenState();
    void removeScreenSaver();

private:
    const std::shared_ptr<DisplayPower> mPower;
    const std::function<bool()> mViewerConnected;
    std::mutex mLock;  // guards the three fields below
    bool mDisplayAsleep = false;
    bool mScreenSaverRunning = false;
    bool mDisplayAsleepWhenConnected = false;
};

// DPMS and XResetScreenSaver on the calling thread's X connection.
std::shared_ptr<DisplayPower> makeX11DisplayPower();

}  // namespace kl

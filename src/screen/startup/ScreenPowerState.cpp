#include "screen/startup/ScreenPowerState.h"

#include "foundation/KLTLogging.h"
#include "platform/x11/X11Activation.h"
#include "platform/x11/X11ScreenPower.h"

namespace kl {

ScreenPowerState::ScreenPowerState(std::shared_ptr<DisplayPower> power, std::function<bool()> viewerConnected)
    : mPower(std::move(power)), mViewerConnected(std::move(viewerConnected)) {}

void ScreenPowerState::displayWentToSleep() {
    {
        std::lock_guard lock(mLock);
        mDisplayAsleep = true;
    }
    // A viewer is watching: the screen may not go dark under it.
    if (mViewerConnected && mViewerConnected()) {
        KLLog(kKLTLoggingLevelInfo, "Display went to sleep while a viewer is connected: waking it");
        mPower->setDisplayAsleep(false);
    }
}

void ScreenPowerState::displayWoke() {
    std::lock_guard lock(mLock);
    mDisplayAsleep = false;
}

void ScreenPowerState::screenSaverChanged(bool running) {
    std::lock_guard lock(mLock);
    mScreenSaverRunning = running;
}

bool ScreenPowerState::displayAsleep() {
    std::lock_guard lock(mLock);
    return mDisplayAsleep;
}

bool ScreenPowerState::screenSaverRunning() {
    std::lock_guard lock(mLock);
    return mScreenSaverRunning;
}

void ScreenPowerState::wakeScreen() {
    {
        std::lock_guard lock(mLock);
        mDisplayAsleepWhenConnected = mDisplayAsleep;
    }
    mPower->setDisplayAsleep(false);
}

void ScreenPowerState::restoreScreenState() {
    bool sleepAgain;
    {
        std::lock_guard lock(mLock);
        sleepAgain = mDisplayAsleepWhenConnected;
        mDisplayAsleepWhenConnected = false;
    }
    if (sleepAgain) mPower->setDisplayAsleep(true);
}

void ScreenPowerState::removeScreenSaver() { mPower->resetScreenSaver(); }

namespace {

class X11DisplayPower final : public DisplayPower {
public:
    void setDisplayAsleep(bool asleep) override {
        if (X11Connection* c = X11Connection::forThisThread()) x11SetDisplayAsleep(*c, asleep);
    }
    void resetScreenSaver() override {
        if (X11Connection* c = X11Connection::forThisThread()) x11ResetScreenSaver(*c);
    }
};

}  // namespace

std::shared_ptr<DisplayPower> makeX11DisplayPower() { return std::make_shared<X11DisplayPower>(); }

}  // namespace kl

#include "screen/server/LocalScreenCaptureAppDelegate.h"

#include <cstdlib>
#include <string>

#include "screen/KLTScreen.h"
#include "screen/server/X11MouseLocation.h"
#include "screen/startup/ScreenPowerState.h"

namespace kl {
namespace {

uint16_t portFromEnvironment(const char* name, uint16_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > 65535) return fallback;
    return uint16_t(value);
}

}  // namespace

LocalScreenCaptureAppDelegate::Ports LocalScreenCaptureAppDelegate::portsFromEnvironment() {
    Ports ports;
    ports.mainDataTraffic = portFromEnvironment("KL_SCREEN_MAIN_PORT", ports.mainDataTraffic);
    ports.clientSideband = portFromEnvironment("KL_SCREEN_CLIENT_SIDEBAND_PORT", ports.clientSideband);
    ports.serverSideband = portFromEnvironment("KL_SCREEN_SERVER_SIDEBAND_PORT", ports.serverSideband);
    return ports;
}

bool LocalScreenCaptureAppDelegate::mouseCursorChanged() { return KLTCursor::cursorImageUpdated(); }

std::optional<KLTCursor> LocalScreenCaptureAppDelegate::mouseCursor() { return KLTCursor::gveCurrentSystemCursor(); }

Point LocalScreenCaptureAppDelegate::mouseHotspot() { return KLTCursor::gveHotSpot(); }

Point LocalScreenCaptureAppDelegate::getMouseLocation() {
    auto location = x11MouseLocation();
    std::lock_guard lock(mLock);
    if (location) mMouseLocation = *location;
    return mMouseLocation;
}

std::shared_ptr<KLTDisplaySet> LocalScreenCaptureAppDelegate::enableDisplayWithDisplayModes(const std::vector<int>&) {
    auto set = std::make_shared<KLTDisplaySet>();
    for (const auto& screen : KLTScreen::screens()) set->displays().insert(std::make_shared<KLTDisplay>(screen->displayID()));
    set->finalizeSet();
    std::lock_guard lock(mLock);
    mDisplay = set;
    return set;
}

std::shared_ptr<KLTDisplaySet> LocalScreenCaptureAppDelegate::display() {
    std::lock_guard lock(mLock);
    return mDisplay;
}

void LocalScreenCaptureAppDelegate::setApplicationHooks(ApplicationHooks hooks) {
    std::lock_guard lock(mLock);
    mApplicationHooks = std::move(hooks);
}

void LocalScreenCaptureAppDelegate::setScreenPower(std::shared_ptr<ScreenPowerState> power) {
    std::lock_guard lock(mLock);
    mScreenPower = std::move(power);
}

LocalScreenCaptureAppDelegate::ApplicationHooks LocalScreenCaptureAppDelegate::applicationHooks() {
    std::lock_guard lock(mLock);
    return mApplicationHooks;
}

std::shared_ptr<ScreenPowerState> LocalScreenCaptureAppDelegate::screenPower() {
    std::lock_guard lock(mLock);
    return mScreenPower;
}

int64_t LocalScreenCaptureAppDelegate::activeApplicationPID() {
    auto hooks = applicationHooks();
    return hooks.activePID ? hooks.activePID() : 0;
}

void LocalScreenCaptureAppDelegate::applicationSwitched(int64_t processID) {
    if (auto hooks = applicationHooks(); hooks.switched) hooks.switched(processID);
}

void LocalScreenCaptureAppDelegate::wakeScreen() {
    if (auto power = screenPower()) power->wakeScreen();
}

void LocalScreenCaptureAppDelegate::restoreScreenState() {
    if (auto power = screenPower()) power->restoreScreenState();
}

void LocalScreenCaptureAppDelegate::removeScreenSaver() {
    if (auto power = screenPower()) power->removeScreenSaver();
}

}  // namespace kl

// The screen service's answers to its server: protocol 1 with application information, the ports
// (overridable by environment for tests), the X server's cursor and pointer, and the display set of
// every active screen; the screen's wake state and the active application through what the
// program hands it once its pieces exist.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "screen/KLTDisplaySet.h"
#include "screen/server/ScreenServerDelegate.h"

namespace kl {

struct ScreenServicePorts {
    uint16_t mainDataTraffic = 7001;
    uint16_t clientSideband = 7000;
    uint16_t serverSideband = 7002;
};

class ScreenPowerState;

class LocalScreenCaptureAppDelegate : public ScreenServerDelegate {
public:
    using Ports = ScreenServicePorts;
    // The service's ports, each replaced by KL_SCREEN_MAIN_PORT, KL_SCREEN_CLIENT_SIDEBAND_PORT or
    // KL_SCREEN_SERVER_SIDEBAND_PORT when that holds a port number.
    static Ports portsFromEnvironment();

    explicit LocalScreenCaptureAppDelegate(Ports ports = {}) : mPorts(ports) {}

    int activeProtocol() override { return 1; }
    bool supportsAppInfo() override { return true; }
    bool shouldQueryMouseOnDisplay(const std::shared_ptr<KLTDisplaySet>&) override { return true; }
    bool mouseCursorVisible() override { return true; }
    bool mouseCursorChanged() override;
    std::optional<KLTCursor> mouseCursor() override;
    Point mouseHotspot() override;
    Point getMouseLocation() override;
    uint16_t mainDataTrafficPort() override { return mPorts.mainDataTraffic; }
    uint16_t clientSidebandPort() override { return mPorts.clientSideband; }
    uint16_t serverSidebandPort() override { return mPorts.serverSideband; }
    std::shared_ptr<KLTDisplaySet> enableDisplayWithDisplayModes(const std::vector<int>& modes) override;

    std::shared_ptr<KLTDisplaySet> display();

    // The frontmost application and what is told of a switch (the monitor and the viewer).
    struct ApplicationHooks {
        std::function<int64_t()> activePID;
        std::function<void(int64_t pid)> switched;
    };
    void setApplicationHooks(ApplicationHooks hooks);
    void setScreenPower(std::shared_ptr<ScreenPowerState> power);

    int64_t activeApplicationPID() override;
    void applicationSwitched(int64_t processID) override;
    void wakeScreen() override;
    void restoreScreenState() override;
    void removeScreenSaver() override;

private:
    ApplicationHooks applicationHooks();
    std::shared_ptr<ScreenPowerState> screenPower();

    const Ports mPorts;
    std::mutex mLock;  // guards the fields below
    std::shared_ptr<KLTDisplaySet> mDisplay;
    Point mMouseLocation;
    ApplicationHooks mApplicationHooks;
    std::shared_ptr<ScreenPowerState> mScreenPower;
};

}  // namespace kl

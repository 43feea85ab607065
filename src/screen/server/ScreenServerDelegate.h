// What the screen server, the encoder and the display model ask of the application: the protocol,
// the ports, the cursor and the mouse, the display set, and the screen's wake state. The server
// calls it from its own threads (the viewer's reader, the cursor tick, the global queue that
// activates the display), so an implementation guards what it keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "screen/KLGeometry.h"
#include "screen/KLTCursor.h"

namespace kl {

class KLTDisplaySet;

class ScreenServerDelegate {
public:
    virtual ~ScreenServerDelegate() = default;

    virtual int activeProtocol() = 0;
    virtual bool supportsAppInfo() = 0;
    virtual bool isDisplayActive() { return true; }
    virtual bool shouldQueryMouseOnDisplay(const std::shared_ptr<KLTDisplaySet>& display) = 0;
    virtual bool mouseCursorVisible() = 0;
    // True when the cursor image changed since the previous question.
    virtual bool mouseCursorChanged() = 0;
    virtual std::optional<KLTCursor> mouseCursor() = 0;
    virtual Point mouseHotspot() = 0;
    // Global coordinates, origin at the primary display's top-left corner.
    virtual Point getMouseLocation() = 0;

    virtual uint16_t mainDataTrafficPort() = 0;
    virtual uint16_t clientSidebandPort() = 0;
    virtual uint16_t serverSidebandPort() = 0;

    // The display set to stream (mode numbers from the viewer's capabilities); null when none.
    virtual std::shared_ptr<KLTDisplaySet> enableDisplayWithDisplayModes(const std::vector<int>& modes) = 0;
    virtual void disableDisplay() {}
    // The frontmost application's process id (0 when unknown), and the report that it changed.
    virtual int64_t activeApplicationPID() { return 0; }
    virtual void applicationSwitched(int64_t processID) {}
    virtual void wakeScreen() {}
    virtual void restoreScreenState() {}
    // Resets the system's idle timer (every update request).
    virtual void removeScreenSaver() {}
};

}  // namespace kl

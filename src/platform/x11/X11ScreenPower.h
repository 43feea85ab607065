// The display's power state (DPMS) and the screen saver (MIT-SCREEN-SAVER) of the X server. A
// server without DPMS (Xvfb) has no display sleep: it is never reported asleep and waking or
// sleeping it does nothing.
#pragma once

#include <functional>
#include <memory>

#include "platform/Executors.h"
#include "platform/x11/X11Connection.h"

namespace kl {

// True when the server offers DPMS and the display is in standby, suspend or off.
bool x11DisplayAsleep(X11Connection& c);
// Forces the display on (false) or off (true); false when the server has no DPMS.
bool x11SetDisplayAsleep(X11Connection& c, bool asleep);

// Reports, on the main loop, the screen saver starting and stopping and the display falling
// asleep and waking. The screen saver comes as events; DPMS has none, so its state is read
// every pollInterval. Create, use and destroy it on the loop's thread.
class X11ScreenStateWatcher {
public:
    struct Handlers {
        std::function<void(bool running)> screenSaver;
        std::function<void(bool asleep)> displaySleep;
    };

    // Null when the server cannot be reached.
    static std::unique_ptr<X11ScreenStateWatcher> create(MainLoop& loop, Handlers handlers,
                                                         Duration pollInterval = std::chrono::seconds(2));
    ~X11ScreenStateWatcher();
    // False when the server has no MIT-SCREEN-SAVER extension (no saver reports then).
    bool watchesScreenSaver() const;

private:
    struct Impl;
    explicit X11ScreenStateWatcher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kl

// Watches the X server on the main loop through a connection of its own: redrawn areas of the
// root window (XDamage) and RandR changes. Create, use and destroy it on the loop's thread.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/Executors.h"
#include "platform/x11/X11Connection.h"

namespace kl {

class X11EventWatcher {
public:
    using DamageHandler = std::function<void(const std::vector<X11Rect>&)>;  // root coordinates
    using RandrHandler = std::function<void()>;

    // Null when the server cannot be reached.
    static std::unique_ptr<X11EventWatcher> create(MainLoop& loop);
    ~X11EventWatcher();

    // A handler set turns its kind of report on; null turns it off.
    void setDamageHandler(DamageHandler handler);
    void setRandrHandler(RandrHandler handler);

private:
    struct Impl;
    explicit X11EventWatcher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kl

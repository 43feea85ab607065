#include "platform/x11/X11ScreenPower.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>

namespace kl {
namespace {

Display* dpy(X11Connection& c) { return static_cast<Display*>(c.display()); }

bool hasDpms(Display* d) {
    int eventBase = 0, errorBase = 0;
    return DPMSQueryExtension(d, &eventBase, &errorBase) && DPMSCapable(d);
}

}  // namespace

bool x11DisplayAsleep(X11Connection& c) {
    Display* d = dpy(c);
    if (!hasDpms(d)) return false;
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    if (!DPMSInfo(d, &level, &enabled)) return false;
    return enabled && level != DPMSModeOn;
}

bool x11SetDisplayAsleep(X11Connection& c, bool asleep) {
    Display* d = dpy(c);
    if (!hasDpms(d)) return false;
    // Forcing a level needs DPMS enabled; waking also resets the idle timer so it stays on.
    if (asleep) DPMSEnable(d);
    bool ok = DPMSForceLevel(d, asleep ? DPMSModeOff : DPMSModeOn);
    if (!asleep) XResetScreenSaver(d);
    return ok && c.syncAndTakeError() == 0;
}

struct X11ScreenStateWatcher::Impl {
    Impl(MainLoop& loop, std::unique_ptr<X11Connection> c, Handlers h)
        : connection(std::move(c)), handlers(std::move(h)), descriptor(loop.context()) {
        descriptor.assign(::dup(connection->fd()));
    }
    ~Impl() {
        *alive = false;
        poll.cancel();
        asio::error_code ignored;
        descriptor.cancel(ignored);
        descriptor.close(ignored);
    }

    Display* display() const { return static_cast<Display*>(connection->display()); }

    void start(MainLoop& loop, Duration interval) {
        int errorBase = 0;
        if (XScreenSaverQueryExtension(display(), &saverEventBase, &errorBase)) {
            XScreenSaverSelectInput(display(), connection->root(), ScreenSaverNotifyMask);
            watchingSaver = true;
        }
        XFlush(display());
        asleep = x11DisplayAsleep(*connection);
        if (hasDpms(display()))
            poll = loop.every(interval, [this, alive = alive] {
                if (*alive) readDisplayPower();
            });
        waitForEvents();
    }

    void waitForEvents() {
        descriptor.async_wait(asio::posix::stream_descriptor::wait_read, [this, alive = alive](const asio::error_code& error) {
            if (!*alive || error) return;
            drain();
            waitForEvents();
        });
    }

    void drain() {
        Display* d = display();
        while (*alive && XPending(d)) {
            XEvent event;
            XNextEvent(d, &event);
            if (!watchingSaver || event.type != saverEventBase + ScreenSaverNotify) continue;
            auto* notify = reinterpret_cast<XScreenSaverNotifyEvent*>(&event);
            // Every reset of the idle timer reports "off" again: pass on changes only.
            bool running = notify->state == ScreenSaverOn || notify->state == ScreenSaverCycle;
            if (running == saverRunning) continue;
            saverRunning = running;
            if (handlers.screenSaver) handlers.screenSaver(running);
        }
    }

    void readDisplayPower() {
        bool now = x11DisplayAsleep(*connection);
        if (now == asleep) return;
        asleep = now;
        if (handlers.displaySleep) handlers.displaySleep(now);
    }

    std::unique_ptr<X11Connection> connection;
    Handlers handlers;
    asio::posix::stream_descriptor descriptor;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    CancelHandle poll;
    int saverEventBase = 0;
    bool watchingSaver = false;
    bool asleep = false;
    bool saverRunning = false;
};

std::unique_ptr<X11ScreenStateWatcher> X11ScreenStateWatcher::create(MainLoop& loop, Handlers handlers, Duration pollInterval) {
    auto connection = X11Connection::open();
    if (!connection) return nullptr;
    auto impl = std::make_unique<Impl>(loop, std::move(connection), std::move(handlers));
    impl->start(loop, pollInterval);
    return std::unique_ptr<X11ScreenStateWatcher>(new X11ScreenStateWatcher(std::move(impl)));
}

X11ScreenStateWatcher::X11ScreenStateWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11ScreenStateWatcher::~X11ScreenStateWatcher() = default;

bool X11ScreenStateWatcher::watchesScreenSaver() const { return impl_->watchingSaver; }

}  // namespace kl

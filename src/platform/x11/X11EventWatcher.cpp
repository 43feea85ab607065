#include "platform/x11/X11EventWatcher.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>

namespace kl {

struct X11EventWatcher::Impl {
    Impl(MainLoop& loop, std::unique_ptr<X11Connection> c) : connection(std::move(c)), descriptor(loop.context()) {
        descriptor.assign(::dup(connection->fd()));
    }
    ~Impl() {
        *alive = false;
        asio::error_code ignored;
        descriptor.cancel(ignored);
        descriptor.close(ignored);
        stopDamage();
    }

    Display* display() const { return static_cast<Display*>(connection->display()); }

    void waitForEvents() {
        descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                              [this, alive = alive](const asio::error_code& error) {
                                  if (!*alive || error) return;
                                  drain();
                                  waitForEvents();
                              });
    }

    // Handles everything queued; Xlib may already hold events read during other requests.
    void drain() {
        Display* d = display();
        while (*alive && XPending(d)) {
            XEvent event;
            XNextEvent(d, &event);
            if (damageEventBase && event.type == damageEventBase + XDamageNotify) {
                onDamage();
            } else if (randrEventBase &&
                       (event.type == randrEventBase + RRScreenChangeNotify || event.type == randrEventBase + RRNotify)) {
                XRRUpdateConfiguration(&event);
                if (randrHandler) randrHandler();
            }
        }
    }

    void onDamage() {
        // Take everything reported so far in one region and forward its rectangles.
        XserverRegion region = XFixesCreateRegion(display(), nullptr, 0);
        XDamageSubtract(display(), damage, None, region);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(display(), region, &count);
        std::vector<X11Rect> out;
        for (int i = 0; i < count; ++i) out.push_back({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
        if (rects) XFree(rects);
        XFixesDestroyRegion(display(), region);
        if (!out.empty() && damageHandler) damageHandler(out);
    }

    void startDamage() {
        if (damage) return;
        int error;
        if (!XDamageQueryExtension(display(), &damageEventBase, &error)) return;
        damage = XDamageCreate(display(), connection->root(), XDamageReportNonEmpty);
        XFlush(display());
    }
    void stopDamage() {
        if (!damage) return;
        XDamageDestroy(display(), damage);
        damage = 0;
        connection->syncAndTakeError();
    }
    void startRandr() {
        int error;
        if (!XRRQueryExtension(display(), &randrEventBase, &error)) return;
        XRRSelectInput(display(), connection->root(),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XFlush(display());
    }
    void stopRandr() {
        XRRSelectInput(display(), connection->root(), 0);
        XFlush(display());
    }

    std::unique_ptr<X11Connection> connection;
    asio::posix::stream_descriptor descriptor;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    Damage damage = 0;
    int damageEventBase = 0;
    int randrEventBase = 0;
    DamageHandler damageHandler;
    RandrHandler randrHandler;
};

std::unique_ptr<X11EventWatcher> X11EventWatcher::create(MainLoop& loop) {
    auto connection = X11Connection::open();
    if (!connection) return nullptr;
    auto impl = std::make_unique<Impl>(loop, std::move(connection));
    impl->waitForEvents();
    return std::unique_ptr<X11EventWatcher>(new X11EventWatcher(std::move(impl)));
}

X11EventWatcher::X11EventWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11EventWatcher::~X11EventWatcher() = default;

void X11EventWatcher::setDamageHandler(DamageHandler handler) {
    impl_->damageHandler = std::move(handler);
    if (impl_->damageHandler)
        impl_->startDamage();
    else
        impl_->stopDamage();
    impl_->drain();
}

void X11EventWatcher::setRandrHandler(RandrHandler handler) {
    impl_->randrHandler = std::move(handler);
    if (impl_->randrHandler)
        impl_->startRandr();
    else
        impl_->stopRandr();
    impl_->drain();
}

}  // namespace kl

#include "screen/apps/X11ApplicationWatcher.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace kl {

namespace {

// Changes are also looked for at this pace: a focus move without a window manager reaches no
// root event.
constexpr int kRecheckMilliseconds = 500;

bool sameApplication(const RunningApplication& a, uint64_t pid) { return a.pid == pid; }

}  // namespace

std::unique_ptr<X11ApplicationWatcher> X11ApplicationWatcher::start(std::shared_ptr<X11ApplicationPlatform> platform,
                                                                    Callbacks callbacks) {
    auto connection = X11Connection::open();
    if (!connection || !platform) return nullptr;
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return nullptr;
    std::unique_ptr<X11ApplicationWatcher> watcher(new X11ApplicationWatcher(std::move(platform), std::move(callbacks), wake));
    auto* display = static_cast<Display*>(connection->display());
    XSelectInput(display, connection->root(), PropertyChangeMask | SubstructureNotifyMask);
    connection->flush();
    watcher->thread_ = std::thread([w = watcher.get(), c = std::move(connection)]() mutable { w->run(std::move(c)); });
    return watcher;
}

X11ApplicationWatcher::X11ApplicationWatcher(std::shared_ptr<X11ApplicationPlatform> platform, Callbacks callbacks,
                                             int wake)
    : platform_(std::move(platform)), callbacks_(std::move(callbacks)), wake_(wake) {}

X11ApplicationWatcher::~X11ApplicationWatcher() {
    const uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
}

void X11ApplicationWatcher::run(std::unique_ptr<X11Connection> connection) {
    auto* display = static_cast<Display*>(connection->display());
    auto known = platform_->runningApplications();
    uint64_t active = platform_->activeApplicationPID();
    for (;;) {
        pollfd fds[2] = {{wake_, POLLIN, 0}, {connection->fd(), POLLIN, 0}};
        if (!XPending(display) && ::poll(fds, 2, kRecheckMilliseconds) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        while (XPending(display)) {  // what changed is read again below: the events only wake us
            XEvent event;
            XNextEvent(display, &event);
        }
        auto current = platform_->runningApplications();
        for (const auto& application : current)
            if (std::none_of(known.begin(), known.end(), [&](const auto& k) { return sameApplication(k, application.pid); }))
                if (callbacks_.launched) callbacks_.launched(application);
        for (const auto& application : known)
            if (std::none_of(current.begin(), current.end(), [&](const auto& c) { return sameApplication(c, application.pid); }))
                if (callbacks_.terminated) callbacks_.terminated(application.pid);
        known = std::move(current);
        const uint64_t nowActive = platform_->activeApplicationPID();
        if (nowActive != active) {
            active = nowActive;
            if (callbacks_.activated) callbacks_.activated(active);
        }
    }
}

}  // namespace kl

// One observer of the X root window that stands for the desktop's launch, termination and switch
// notices: it follows the window manager's client list, the root's children and the active
// window, and reports each change of the application set or of the active application once.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "screen/apps/X11ApplicationPlatform.h"

namespace kl {

class X11ApplicationWatcher {
public:
    struct Callbacks {
        std::function<void(const RunningApplication&)> launched;
        std::function<void(uint64_t pid)> terminated;
        std::function<void(uint64_t pid)> activated;  // 0: no active application
    };

    // Applications present at the start are taken as known: only later changes are reported.
    // Callbacks run on the watcher's own thread. Null when no X server answers.
    static std::unique_ptr<X11ApplicationWatcher> start(std::shared_ptr<X11ApplicationPlatform> platform,
                                                        Callbacks callbacks);
    ~X11ApplicationWatcher();  // wakes the thread and joins it
    X11ApplicationWatcher(const X11ApplicationWatcher&) = delete;
    X11ApplicationWatcher& operator=(const X11ApplicationWatcher&) = delete;

private:
    X11ApplicationWatcher(std::shared_ptr<X11ApplicationPlatform> platform, Callbacks callbacks, int wake);
    void run(std::unique_ptr<X11Connection> connection);

    std::shared_ptr<X11ApplicationPlatform> platform_;
    Callbacks callbacks_;
    int wake_ = -1;  // eventfd; written by the destructor, read by the thread
    std::thread thread_;
};

}  // namespace kl

// kl::MainLoop on the Qt event loop of the GUI thread, so that everything the libraries post to
// the main loop (IPC replies, HTTP completions, timers) runs on the thread that owns the widgets.
//
// Posts are accepted from any thread and run on the GUI thread in the order they were made. Timers
// live on the GUI thread. Once the loop is destroyed or the application object goes away, further
// posts are dropped and queued work that has not started never runs.
#pragma once

#include <memory>

#include "platform/Executors.h"

class QObject;
class QEventLoop;

namespace kl {

class QtMainLoop final : public MainLoop {
public:
    // Create on the GUI thread, after the QCoreApplication.
    QtMainLoop();
    ~QtMainLoop() override;

    void post(Task task) override;
    CancelHandle after(Duration delay, Task task) override;
    CancelHandle every(Duration interval, Task task) override;

    // Runs a Qt event loop until stop() (or QCoreApplication::exit()).
    void run() override;
    void stop() override;
    // Runs a nested Qt event loop; the predicate is checked after each batch of events and at
    // least every 10 ms.
    bool runUntil(const std::function<bool()>& predicate, Duration timeout) override;
    bool isCurrentThread() const override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace kl

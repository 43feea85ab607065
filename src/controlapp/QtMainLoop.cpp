#include "controlapp/QtMainLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <vector>

namespace kl {

namespace {

// A posted task travels as an event: Qt owns it from the post on and deletes it on the GUI thread,
// after it ran or, when the receiver goes first, unrun. No closure is ever destroyed by a poster.
const QEvent::Type kTaskEvent = QEvent::Type(QEvent::registerEventType());

struct TaskEvent final : QEvent {
    explicit TaskEvent(Task t) : QEvent(kTaskEvent), task(std::move(t)) {}
    Task task;
};

class TaskReceiver final : public QObject {
public:
    explicit TaskReceiver(std::mutex& postMutex) : postMutex_(postMutex) {}
    bool event(QEvent* e) override {
        // The poster built the event and its task under this mutex; taking it before the event is
        // read orders that work before the delivery for every checker, not only through Qt's own
        // queue lock (which a delivery straight from sendPostedEvents passes without a wake-up).
        { std::lock_guard lock(postMutex_); }
        if (e->type() != kTaskEvent) return QObject::event(e);
        static_cast<TaskEvent*>(e)->task();
        return true;
    }

private:
    std::mutex& postMutex_;
};

}  // namespace

// What posters on other threads reach: the receiver of the task events, cleared under the lock
// when the loop or the application goes away, so that a late post is dropped instead of landing
// on a dead object.
struct QtMainLoop::Shared {
    std::mutex mutex;
    QObject* receiver = nullptr;  // lives on the GUI thread; deleted there
    QThread* guiThread = nullptr;
    QPointer<QEventLoop> running;  // the loop of run(), GUI thread only
    bool stopRequested = false;    // GUI thread only

    // Hands task to the GUI thread; false when the loop is gone.
    bool queue(Task task) {
        std::lock_guard lock(mutex);
        if (!receiver) return false;
        QCoreApplication::postEvent(receiver, new TaskEvent(std::move(task)));
        return true;
    }

    void detach() {
        QObject* old = nullptr;
        {
            std::lock_guard lock(mutex);
            old = receiver;
            receiver = nullptr;
        }
        delete old;  // drops the task events still addressed to it
    }
};

namespace {

// Every live loop, so that the application's shutdown can detach them before Qt's objects go.
std::mutex& liveLoopsMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<std::weak_ptr<QtMainLoop::Shared>>& liveLoops() {
    static auto* loops = new std::vector<std::weak_ptr<QtMainLoop::Shared>>;
    return *loops;
}

void detachAllLoops() {
    std::vector<std::weak_ptr<QtMainLoop::Shared>> loops;
    {
        std::lock_guard lock(liveLoopsMutex());
        loops.swap(liveLoops());
    }
    for (auto& weak : loops)
        if (auto shared = weak.lock()) shared->detach();
}

int milliseconds(Duration d) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(d, Duration::zero())).count();
    return int(std::min<decltype(ms)>(ms, INT32_MAX));
}

struct Repeat {
    Duration interval;
    Clock::time_point deadline;
    Task task;
    std::shared_ptr<std::atomic<bool>> cancelled;
};

void armRepeat(const std::shared_ptr<QtMainLoop::Shared>& shared, std::shared_ptr<Repeat> repeat) {
    QObject* receiver = shared->receiver;  // GUI thread: nobody else changes it here
    if (!receiver) return;
    std::weak_ptr<QtMainLoop::Shared> weak = shared;
    QTimer::singleShot(milliseconds(repeat->deadline - Clock::now()), Qt::PreciseTimer, receiver, [weak, repeat] {
        if (repeat->cancelled->load()) return;
        repeat->task();
        if (repeat->cancelled->load()) return;
        // Fixed rate: the next deadline is the next multiple of the interval still in the future.
        auto now = Clock::now();
        do repeat->deadline += repeat->interval;
        while (repeat->deadline <= now);
        if (auto shared = weak.lock()) armRepeat(shared, repeat);
    });
}

}  // namespace

QtMainLoop::QtMainLoop() : shared_(std::make_shared<Shared>()) {
    shared_->guiThread = QThread::currentThread();
    shared_->receiver = new TaskReceiver(shared_->mutex);
    static std::once_flag hook;
    std::call_once(hook, [] { qAddPostRoutine(detachAllLoops); });
    std::lock_guard lock(liveLoopsMutex());
    liveLoops().push_back(shared_);
}

QtMainLoop::~QtMainLoop() { shared_->detach(); }

void QtMainLoop::post(Task task) { shared_->queue(std::move(task)); }

CancelHandle QtMainLoop::after(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<Shared> weak = shared_;
    auto start = Clock::now();
    // Timers belong to the GUI thread, so the timer is started there; the time spent in the queue
    // counts against the delay.
    shared_->queue([weak, cancelled, delay, start, task = std::move(task)]() mutable {
        auto shared = weak.lock();
        if (!shared || !shared->receiver || cancelled->load()) return;
        QTimer::singleShot(milliseconds(start + delay - Clock::now()), Qt::PreciseTimer, shared->receiver,
                           [cancelled, task = std::move(task)] {
                               if (!cancelled->load()) task();
                           });
    });
    return CancelHandle(cancelled);
}

CancelHandle QtMainLoop::every(Duration interval, Task task) {
    auto repeat = std::make_shared<Repeat>();
    repeat->interval = std::max(interval, Duration(std::chrono::milliseconds(1)));
    repeat->deadline = Clock::now() + repeat->interval;
    repeat->task = std::move(task);
    repeat->cancelled = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<Shared> weak = shared_;
    shared_->queue([weak, repeat] {
        if (auto shared = weak.lock()) armRepeat(shared, repeat);
    });
    return CancelHandle(repeat->cancelled);
}

void QtMainLoop::run() {
    if (!isCurrentThread()) return;
    QEventLoop loop;
    shared_->running = &loop;
    if (!shared_->stopRequested) loop.exec();
    shared_->stopRequested = false;
    shared_->running = nullptr;
}

void QtMainLoop::stop() {
    std::weak_ptr<Shared> weak = shared_;
    auto request = [weak] {
        auto shared = weak.lock();
        if (!shared) return;
        if (shared->running) shared->running->exit(0);
        else shared->stopRequested = true;
    };
    if (isCurrentThread()) request();
    else shared_->queue(request);
}

bool QtMainLoop::runUntil(const std::function<bool()>& predicate, Duration timeout) {
    if (!isCurrentThread()) return predicate();
    auto end = Clock::now() + timeout;
    // A ticking timer wakes the wait below so that the predicate and the deadline are looked at
    // even when no event comes.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(10);
    bool done = predicate();
    while (!done && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        done = predicate();
    }
    return done;
}

bool QtMainLoop::isCurrentThread() const { return QThread::currentThread() == shared_->guiThread; }

}  // namespace kl

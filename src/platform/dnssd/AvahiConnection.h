// One connection to avahi-daemon on a threaded poll of its own. It survives the daemon: when the
// daemon is missing or goes away it keeps trying every second, and tells its owner when the
// client is usable again so that the owner can recreate what it had published or browsed.
// Every owner hook runs on the poll thread with the poll lock held; owners call into avahi only
// under lock().
#pragma once

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>

namespace kl {

class AvahiConnection {
public:
    struct Hooks {
        // The client is running: (re)create entry groups, browsers.
        std::function<void(AvahiClient*)> running;
        // Objects made with the client no longer work (host-name collision, daemon restarting):
        // forget or reset them. freed tells whether the client is about to be freed with them.
        std::function<void(bool freed)> paused;
    };

    explicit AvahiConnection(Hooks hooks);
    // Stops the poll thread first, so no hook runs afterwards. Never call from a hook.
    ~AvahiConnection();
    AvahiConnection(const AvahiConnection&) = delete;
    AvahiConnection& operator=(const AvahiConnection&) = delete;

    // Holds the poll lock for its life (not re-entrant: hooks already hold it).
    class Guard {
    public:
        explicit Guard(AvahiConnection& connection) : poll_(connection.poll_) { avahi_threaded_poll_lock(poll_); }
        ~Guard() { avahi_threaded_poll_unlock(poll_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };

    // The running client, or null. Under the lock or in a hook.
    AvahiClient* runningClient() const { return running_ && !failed_ ? client_ : nullptr; }

private:
    static void clientCallback(AvahiClient* client, AvahiClientState state, void* self);
    static void retryCallback(AvahiTimeout* timeout, void* self);
    void connect();
    void scheduleRetry();

    Hooks hooks_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiTimeout* retry_ = nullptr;
    bool running_ = false;
    // The client failed and awaits freeing by the retry timer.
    bool failed_ = false;
    bool unreachableReported_ = false;
};

}  // namespace kl

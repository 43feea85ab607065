// The one place where the tunnel waits for UDT data: the table of live tunnel sockets, keyed by
// UDT socket number, and one poll loop over them.
//
// The loop runs on a thread of its own. It starts with the first addition, asks UDT every 0.1 s
// which sockets are readable and ends once the table is empty after a removal; the next addition
// starts it again. For a readable main channel its listener reads one control message on the
// loop's thread; a readable data channel gets a bridge pass on its own bridge queue. A main
// channel whose read fails, or an unbridged socket whose connection is gone, is dropped (a main
// channel's listener then takes its tunnel down); a bridged data channel whose connection is gone
// gets a last pass, which delivers what UDT still holds and closes it. A socket whose UDT socket
// was closed behind the manager's back is pruned, so it cannot stall the loop.
//
// The loop also watches UDT connects under way (watchConnect): each cycle looks at their state and
// their deadlines, and while any is pending a cycle lasts kConnectCheckInterval instead, so no
// thread of the caller's sleeps or polls through a rendezvous. The loop stays up until the table is
// empty and no connect is pending.
//
// The loop also resumes waiting sends (watchSends): a data channel whose send queue is suspended
// goes into the select's write set and is resumed once UDT has room; one whose sends are held is
// looked at each cycle until the hold ends; a main channel with a message waiting is retried each
// cycle until UDT takes it or its limit passes. While any send waits a cycle lasts
// kConnectCheckInterval, and while a bridged data channel is registered at most kDataCycle, so a
// socket that begins to wait is looked at soon even when the loop is inside a select.
//
// Table changes take effect at once under the manager's lock, so a socket is polled as soon as
// addSocket() returns and a removed socket is never handed out again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>
#include <vector>

#include "tunnel/TunnexResult.h"

namespace kl {

class TunnexSocketImpl;
class TunnexMainChannelListener;

inline constexpr double kSocketPollInterval = 0.1;  // seconds of one UDT select
// How often a pending connect (or a send waiting for the loop) is looked at.
inline constexpr std::chrono::milliseconds kConnectCheckInterval{5};
// The longest select while a data channel is bridged: UDT's select looks at its sockets about
// every 10 ms anyway, so a shorter cycle costs little.
inline constexpr std::chrono::milliseconds kDataCycle{10};

class TunnexSocketManager {
public:
    // The process's one manager, created on first use and never destroyed.
    static TunnexSocketManager& sharedInstance();
    ~TunnexSocketManager();
    TunnexSocketManager(const TunnexSocketManager&) = delete;
    TunnexSocketManager& operator=(const TunnexSocketManager&) = delete;

    // Registers the socket under its current UDT socket number and starts the loop if needed.
    void addSocket(const std::shared_ptr<TunnexSocketImpl>& socket);
    // Unregisters the socket and sets its UDT socket number to 0.
    void removeSocket(const std::shared_ptr<TunnexSocketImpl>& socket);
    uint64_t currentSocketCount() const;
    // Null for 0, UDT's invalid socket and numbers not in the table.
    std::shared_ptr<TunnexSocketImpl> socketForSocketNumber(int number) const;
    // The UDT socket numbers of every registered socket.
    std::set<int> selectSocketsWithDescriptorSet() const;
    // Asks every listener that owns a registered socket, once each, to take its tunnel down.
    void askPeersToDisconnect();

    // A main channel from whose remote nothing (data or acknowledgement) was heard for
    // probeAfter seconds is probed; heard nothing for silenceLimit more seconds, it is dropped and
    // its tunnel taken down. UDT's own expiry would take close to a minute.
    void setLivenessLimits(double probeAfterSeconds, double silenceLimitSeconds);

    // A socket's bridge pass has ended: a loop that paused because that pass was busy looks again
    // at once (data that arrived meanwhile would otherwise wait out the pause).
    void bridgePassEnded();

    // Called once with the UDT socket number when the connect completes, or with the error when it
    // broke or its deadline passed (the socket is left to the caller either way). Runs on the
    // loop's thread: anything longer than a few calls belongs on a queue of the caller's.
    using ConnectCompletion = std::function<void(TunnexResult<int>)>;
    // Watches a UDT socket whose non-blocking connect was started, starting the loop if needed.
    // When the process is ending (no loop runs any more), completes at once with an error.
    void watchConnect(int udtSocket, std::chrono::steady_clock::time_point deadline, ConnectCompletion completion);
    size_t pendingConnectCount() const;

    // Calls socket->resumeSends() once, from the loop's thread, when it has reason to go on (see
    // above), starting the loop if needed. False when the process is ending (no loop runs).
    bool watchSends(const std::shared_ptr<TunnexSocketImpl>& socket);
    size_t watchedSendCount() const;
    // True on the loop's thread, where waiting for a connect would wait for itself.
    bool isLoopThread() const;

    // Diagnostics: whether the loop's thread runs, and how many loops have started.
    bool isPolling() const;
    uint64_t pollLoopsStarted() const { return loopsStarted_.load(); }

private:
    TunnexSocketManager() = default;
    // Ends the poll loop for good (at exit, before UDT is cleaned up).
    void stopPolling();
    void waitForSocketsWithTimeout(std::stop_token stop, double timeout);
    // Returns true when the loop must end, marking it ended under the lock.
    bool loopShouldEnd(const std::stop_token& stop);
    void nap(const std::stop_token& stop, double seconds);
    void pruneClosedSockets();
    // Must hold mutex_: starts the loop unless it runs or the process is ending.
    void startLoopLocked();
    // On the loop's thread: completes the connects that ended or ran out of time.
    void checkConnects();
    struct PendingConnect {
        std::chrono::steady_clock::time_point deadline;
        ConnectCompletion completion;
    };
    static std::shared_ptr<TunnexMainChannelListener> mainChannelListenerOf(
        const std::shared_ptr<TunnexSocketImpl>& socket);
    // On the loop's thread, about once a second: probes quiet main channels and returns the ones
    // whose remote stayed silent past the limit.
    struct Quiet {
        std::shared_ptr<TunnexSocketImpl> socket;
        std::shared_ptr<TunnexMainChannelListener> listener;
        bool silent = false;  // the remote stopped answering
    };
    std::vector<Quiet> checkLiveness();
    // On the loop's thread: fills writeSet with the watched sockets that wait for room and
    // returns those to resume now (hold or limit over, socket no longer connected).
    std::vector<std::shared_ptr<TunnexSocketImpl>> collectWatchedSends(std::set<int>& writeSet);
    // Forgets the sockets and resumes them.
    void resumeSends(const std::vector<std::shared_ptr<TunnexSocketImpl>>& sockets);
    bool anyBridged() const;
    struct Liveness {
        int64_t heard = -1;  // the remote's packets and acknowledgements received so far
        std::chrono::steady_clock::time_point lastHeard{};
        std::chrono::steady_clock::time_point probed{};  // zero while no probe is outstanding
    };
    std::map<int, Liveness> liveness_;  // the loop's thread only
    std::chrono::steady_clock::time_point nextLivenessCheck_{};  // the loop's thread only
    std::atomic<int64_t> probeAfterMs_{3000};
    std::atomic<int64_t> silenceLimitMs_{6000};

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::map<int, std::shared_ptr<TunnexSocketImpl>> table_;  // guarded by mutex_
    std::map<int, PendingConnect> connects_;                  // guarded by mutex_
    std::map<int, std::shared_ptr<TunnexSocketImpl>> watchedSends_;  // guarded by mutex_
    bool mayConsiderPollingExit_ = false;                     // guarded by mutex_
    bool polling_ = false;                                    // guarded by mutex_
    bool stopped_ = false;  // the process is ending: no loop starts again; guarded by mutex_
    uint64_t wakeups_ = 0;  // ends a nap when it changes; guarded by mutex_
    std::jthread loop_;                                       // started and joined under mutex_
    std::atomic<uint64_t> loopsStarted_{0};
};

}  // namespace kl

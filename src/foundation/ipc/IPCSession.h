// One connected AF_UNIX stream socket of the IPC transport, served by an IPCPoller: a thread that
// polls many sessions' sockets and its own eventfd, decodes incoming frames and writes queued ones.
// A listener's accepted sessions share one poller (an idle connection costs a descriptor, not a
// thread); a connecting session has a poller of its own, whose thread connects it first.
//
// Callbacks run on the poller's thread and must only hand work over (push to a list, post to a
// queue). The owner stops a session with stop(): no callback of it runs once stop() returns, and its
// socket is closed only after the poller no longer polls it. A session that ends on its own (the
// peer closed, a read or write failed, a bad frame, a peer that does not read, or an accepted peer
// that takes longer than kFrameTimeout to complete a frame) reports that once through `ended`;
// callers still call stop().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/IPCWire.h"

namespace kl::ipc {

// Bytes queued for a peer that is not reading them; past this the connection is given up, so a
// stuck peer cannot make this process's memory grow without bound.
inline constexpr size_t kMaxQueuedOutputBytes = 16u << 20;
// How long a client retries while the listener's backlog is full.
inline constexpr std::chrono::seconds kConnectRetryLimit{10};
// How long an accepted peer may take to send its first frame, or to finish one it started, before
// the connection is closed: a local user cannot keep connections open without speaking.
inline constexpr std::chrono::seconds kFrameTimeout{5};
// Received messages not yet handled, over all sessions of a poller (all accepted connections of a
// listener), beyond which none of them is read: however many connections a peer opens, what they
// make this process hold stays about this much.
inline constexpr size_t kMaxPollerBacklogBytes = 32u << 20;

class IPCPoller {
public:
    // label names the thread's work in logs.
    explicit IPCPoller(std::string label);
    // Stops and joins the thread (only lets it finish when run on it).
    ~IPCPoller();
    IPCPoller(const IPCPoller&) = delete;
    IPCPoller& operator=(const IPCPoller&) = delete;

    struct Core;  // shared by the poller object, its thread and its sessions

private:
    friend class IPCSession;
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

struct SessionCallbacks {
    // A connecting session reached its listener.
    std::function<void(const PeerCredentials&)> connected;
    // One decoded frame and what it costs: its size on the wire or, if larger, decoded.
    std::function<void(Frame&&, size_t cost)> frame;
    // The number of frames written so far (after each pass that wrote something).
    std::function<void(uint64_t framesWritten)> written;
    // The session is over. established: the socket had been connected.
    std::function<void(const std::string& reason, bool established)> ended;
};

class IPCSession {
public:
    // Serves an accepted socket on poller (ownership of fd passes to the session).
    static std::shared_ptr<IPCSession> startAccepted(int fd, SessionCallbacks callbacks, std::shared_ptr<IPCPoller> poller);
    // Connects to path first; a failure is reported through `ended` with established false.
    static std::shared_ptr<IPCSession> startConnecting(std::filesystem::path path, SessionCallbacks callbacks);

    ~IPCSession();
    IPCSession(const IPCSession&) = delete;
    IPCSession& operator=(const IPCSession&) = delete;

    // Queues one encoded frame. False when the session is over; a frame that would take the queue
    // past kMaxQueuedOutputBytes ends the session instead.
    bool send(Bytes frame);
    // Frames accepted by send() so far, and frames completely written so far.
    uint64_t framesQueued() const;
    uint64_t framesWritten() const;
    // Stops reading while the owner's backlog of received messages is too large.
    void setReadingPaused(bool paused);
    // Counts cost against the poller's backlog until the returned token is dropped.
    std::shared_ptr<void> chargeBacklog(size_t cost);
    // Takes the session off its poller, waiting for a callback of it that is running (unless
    // called from one). No callback runs after stop() returns.
    void stop();

    struct State;  // shared by the session object and its poller

private:
    IPCSession(std::shared_ptr<State> state, std::shared_ptr<IPCPoller> poller);
    std::shared_ptr<State> state_;
    std::shared_ptr<IPCPoller> poller_;
};

}  // namespace kl::ipc

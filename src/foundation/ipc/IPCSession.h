// One connected AF_UNIX stream socket of the IPC transport and the thread that reads and writes it.
//
// The thread polls the socket and an eventfd; it decodes incoming frames and writes queued ones.
// Its callbacks run on that thread and must only hand work over (push to a list, post to a queue).
// The owner stops it with stop(), which wakes the thread and joins it; the socket is closed only
// after the thread is gone. A session that ends on its own (the peer closed, a read or write failed,
// a bad frame, a peer that does not read) reports that once through `ended` and lets its thread
// finish; callers still call stop() to join it.
#pragma once

#include <sys/types.h>

#include <atomic>
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

struct SessionCallbacks {
    // A connecting session reached its listener.
    std::function<void(const PeerCredentials&)> connected;
    // One decoded frame and its size on the wire.
    std::function<void(Frame&&, size_t wireSize)> frame;
    // The number of frames written so far (after each pass that wrote something).
    std::function<void(uint64_t framesWritten)> written;
    // The session is over. established: the socket had been connected.
    std::function<void(const std::string& reason, bool established)> ended;
};

class IPCSession {
public:
    // Serves an accepted socket (ownership of fd passes to the session).
    static std::shared_ptr<IPCSession> startAccepted(int fd, SessionCallbacks callbacks);
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
    // Wakes the thread and joins it (on the session's own thread it only lets the thread finish).
    // No callback runs after stop() returns.
    void stop();

    struct State;  // shared by the session object and its thread

private:
    explicit IPCSession(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::mutex stopMutex_;
};

}  // namespace kl::ipc

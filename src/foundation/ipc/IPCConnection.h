// The engine under the klipc_ functions: one listener, client or accepted (server) connection of a
// local service, carrying kl::Value dictionaries.
//
// Events (new connection, message, interrupted, invalid) and barriers go into the connection's
// inbox and are handed to the event handler one at a time, in order, on the connection's queue,
// and only once the connection has been resumed. Reply handlers run once on the queue given with
// the request.
//
// Lifecycle rules (the same as the platform transport this stands in for):
//  - A client connects on its first send. If it cannot, it becomes invalid (kind 2). When an
//    established connection drops it reports kind 1, its pending replies get kind 1, and the next
//    send connects again.
//  - An accepted connection whose peer goes away, or that sees a bad frame, becomes invalid.
//  - cancel() makes the connection invalid: kind 2 is its last event, pending replies get kind 2.
//  - After kind 2 the handler is released.
//
// Limits: a listener keeps at most kMaxListenerConnections accepted connections and
// kMaxConnectionsPerUser per peer uid (root and administrators exempt); others are closed at once.
//
// Threads: a listener has its IPCAcceptor thread and one IPCPoller thread that serves all its
// accepted connections; a client has a poller of its own. They only push to the inbox and post to
// queues. mutex_ guards every mutable field; it is never held
// while joining a thread or calling a handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/IPCQueue.h"
#include "foundation/ipc/IPCWire.h"
#include "platform/Value.h"

namespace kl::ipc {

class IPCSession;
class IPCAcceptor;
class IPCConnectionLimits;
class IPCPoller;
struct SessionCallbacks;

enum class EventKind : int32_t {
    Interrupted = 1,
    Invalid = 2,
    NewConnection = 3,
    Message = 4,
};

// A received dictionary and what a reply to it needs.
struct ReceivedMessage {
    Value body;
    uint64_t sessionId = 0;  // the socket session it came on
    uint64_t requestId = 0;  // non-zero: the sender waits for a reply
};

class IPCConnection;

struct IPCEvent {
    EventKind kind = EventKind::Message;
    std::shared_ptr<IPCConnection> connection;  // NewConnection: the accepted connection, suspended
    ReceivedMessage message;                    // Message
};

using EventHandler = std::function<void(IPCEvent&)>;
// Runs once: (Message, the reply) or (Interrupted or Invalid, nullptr).
using ReplyHandler = std::function<void(EventKind, ReceivedMessage*)>;

// A backlog of received messages not yet handled (counted as decoded, where that is more than
// their size on the wire) beyond which the connection stops reading, so a
// peer that floods a busy process is slowed down by its socket instead of growing our memory.
inline constexpr size_t kMaxInboxBytes = 8u << 20;

class IPCConnection : public std::enable_shared_from_this<IPCConnection> {
public:
    enum class Role { Listener, Client, Server };

    // queue null: a private serial queue. serviceName must satisfy isValidServiceName().
    static std::shared_ptr<IPCConnection> listener(std::string serviceName, std::shared_ptr<IPCQueue> queue);
    static std::shared_ptr<IPCConnection> client(std::string serviceName, std::shared_ptr<IPCQueue> queue,
                                                 bool privileged);
    // A connection accepted by a listener (takes the descriptor), served by the listener's poller
    // and holding its slot under the listener's limits until it ends.
    static std::shared_ptr<IPCConnection> accepted(std::string serviceName, int fd, const PeerCredentials& peer,
                                                   std::shared_ptr<IPCPoller> poller, std::shared_ptr<void> slot);

    ~IPCConnection();
    IPCConnection(const IPCConnection&) = delete;
    IPCConnection& operator=(const IPCConnection&) = delete;

    void setEventHandler(EventHandler handler);
    void resume();
    void cancel();

    void send(const Value& body);
    void sendWithReply(const Value& body, std::shared_ptr<IPCQueue> replyQueue, ReplyHandler handler);
    // Answers a request received on session sessionId; dropped when that session is gone.
    void sendReply(uint64_t sessionId, uint64_t requestId, const Value& body);
    // Runs barrier on the connection's queue once everything sent before it has been written.
    void sendBarrier(Task barrier);

    // The peer of the current (or last) socket; nothing before a client first connects.
    std::optional<PeerCredentials> peer() const;
    Role role() const { return role_; }
    const std::string& serviceName() const { return name_; }
    std::string description() const;

    // Stops everything without further events: threads joined, sockets closed, pending replies
    // answered with kind 2. For the owner that drops the connection; also run by the destructor.
    void shutdown();

private:
    struct InboxItem;
    struct PendingReply {
        uint64_t sessionId = 0;
        std::shared_ptr<IPCQueue> queue;
        ReplyHandler handler;
    };

    IPCConnection(Role role, std::string name, std::shared_ptr<IPCQueue> queue, bool privileged);

    void post(FrameKind kind, uint64_t requestId, const Value& body, std::optional<PendingReply> pending);
    void startSessionLocked(bool connecting, int fd);
    SessionCallbacks callbacksFor(uint64_t sessionId);
    void pushLocked(InboxItem item);
    void pushBarrierLocked(Task barrier);
    // Barriers waiting for writes run now: the session they waited on is gone.
    void releaseBarriersLocked();
    void scheduleDrainLocked();
    void drain();
    void process(InboxItem& item, const std::shared_ptr<const EventHandler>& handler);
    static void failReplies(std::vector<PendingReply>& replies, EventKind kind);

    void onConnected(uint64_t sessionId, const PeerCredentials& peer);
    void onFrame(uint64_t sessionId, Frame&& frame, size_t cost);
    void onWritten(uint64_t sessionId, uint64_t framesWritten);
    void onEnded(uint64_t sessionId, const std::string& reason, bool established);
    void onAccepted(int fd, const PeerCredentials& peer);

    const Role role_;
    const std::string name_;
    const std::shared_ptr<IPCQueue> queue_;
    const bool privileged_;
    std::atomic<uint64_t> nextRequestId_{1};

    mutable std::mutex mutex_;
    std::shared_ptr<const EventHandler> handler_;
    bool resumed_ = false;
    bool invalid_ = false;   // no new events; kind 2 queued or delivered
    bool finished_ = false;  // kind 2 delivered, handler released
    bool shutDown_ = false;
    std::deque<InboxItem> inbox_;
    bool draining_ = false;
    size_t inboxBytes_ = 0;
    bool readingPaused_ = false;
    std::shared_ptr<IPCSession> session_;
    uint64_t sessionId_ = 0;
    std::optional<PeerCredentials> peer_;
    std::map<uint64_t, PendingReply> pending_;
    std::deque<std::pair<uint64_t, Task>> barriers_;  // frame count to wait for, block
    std::deque<Bytes> early_;                         // an accepted connection's sends before resume
    size_t earlyBytes_ = 0;
    int acceptedFd_ = -1;                             // an accepted connection before resume
    std::unique_ptr<IPCAcceptor> acceptor_;
    // A listener's and its accepted connections' poller (made when the listener resumes).
    std::shared_ptr<IPCPoller> poller_;
    std::shared_ptr<IPCConnectionLimits> limits_;  // a listener's
    std::shared_ptr<void> slot_;                    // an accepted connection's, until it ends
};

const char* roleName(IPCConnection::Role role);

}  // namespace kl::ipc

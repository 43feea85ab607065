#include "foundation/ipc/IPCConnection.h"

#include <unistd.h>

#include <atomic>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCAcceptor.h"
#include "foundation/ipc/IPCConnectionLimits.h"
#include "foundation/ipc/IPCSession.h"

namespace kl::ipc {
namespace {

// Items handled per turn on the queue, so a flood of messages cannot hold the main loop.
constexpr int kDrainBatch = 64;

std::atomic<uint64_t> gNextSessionId{1};

// A descriptor owned by an inbox item until someone takes it.
struct OwnedFd {
    int fd = -1;
    OwnedFd() = default;
    explicit OwnedFd(int f) : fd(f) {}
    OwnedFd(OwnedFd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    OwnedFd& operator=(OwnedFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = std::exchange(o.fd, -1);
        }
        return *this;
    }
    ~OwnedFd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int release() { return std::exchange(fd, -1); }
};

}  // namespace

struct IPCConnection::InboxItem {
    enum class Type { Event, Barrier, Accepted };
    Type type = Type::Event;
    EventKind kind = EventKind::Message;
    ReceivedMessage message;
    size_t bytes = 0;               // counted against kMaxInboxBytes
    std::shared_ptr<void> charge;  // and against the poller's backlog while it lives
    Task barrier;
    OwnedFd acceptedFd;
    PeerCredentials peer;
    std::shared_ptr<void> slot;  // released with the descriptor when nobody takes it
    // A session that ended on its own; dropping it takes it off its poller.
    std::shared_ptr<IPCSession> retired;
};

const char* roleName(IPCConnection::Role role) {
    switch (role) {
    case IPCConnection::Role::Listener: return "listener";
    case IPCConnection::Role::Client: return "client";
    case IPCConnection::Role::Server: return "peer";
    }
    return "?";
}

IPCConnection::IPCConnection(Role role, std::string name, std::shared_ptr<IPCQueue> queue, bool privileged)
    : role_(role),
      name_(std::move(name)),
      queue_(queue ? std::move(queue) : makeSerialIPCQueue("klipc." + name_)),
      privileged_(privileged) {}

std::shared_ptr<IPCConnection> IPCConnection::listener(std::string serviceName, std::shared_ptr<IPCQueue> queue) {
    return std::shared_ptr<IPCConnection>(new IPCConnection(Role::Listener, std::move(serviceName), std::move(queue), false));
}

std::shared_ptr<IPCConnection> IPCConnection::client(std::string serviceName, std::shared_ptr<IPCQueue> queue,
                                                     bool privileged) {
    return std::shared_ptr<IPCConnection>(
        new IPCConnection(Role::Client, std::move(serviceName), std::move(queue), privileged));
}

std::shared_ptr<IPCConnection> IPCConnection::accepted(std::string serviceName, int fd, const PeerCredentials& peer,
                                                       std::shared_ptr<IPCPoller> poller, std::shared_ptr<void> slot) {
    auto connection =
        std::shared_ptr<IPCConnection>(new IPCConnection(Role::Server, std::move(serviceName), nullptr, false));
    connection->acceptedFd_ = fd;
    connection->poller_ = std::move(poller);
    connection->slot_ = std::move(slot);
    connection->peer_ = peer;
    connection->sessionId_ = gNextSessionId++;
    return connection;
}

IPCConnection::~IPCConnection() { shutdown(); }

void IPCConnection::setEventHandler(EventHandler handler) {
    auto replacement = std::make_shared<const EventHandler>(std::move(handler));
    std::shared_ptr<const EventHandler> previous;
    std::lock_guard lock(mutex_);
    if (finished_) return;  // the connection has already dropped its handler for good
    previous = std::exchange(handler_, std::move(replacement));
}

void IPCConnection::resume() {
    std::unique_lock lock(mutex_);
    if (resumed_ || shutDown_) return;
    resumed_ = true;
    if (role_ == Role::Listener && !invalid_) {
        lock.unlock();  // binding may wait for another process's bind lock
        auto socket = openListeningSocket(name_);
        lock.lock();
        if (!socket) {
            KLLog(kKLTLoggingLevelError, "klipc: cannot listen for %s: %s", name_.c_str(),
                  socket.error().description().c_str());
            invalid_ = true;
            InboxItem item;
            item.kind = EventKind::Invalid;
            pushLocked(std::move(item));
        } else if (!invalid_) {
            KLLog(kKLTLoggingLevelDebug, "klipc: listening for %s on %s", name_.c_str(),
                  socket->activated() ? "the socket passed by systemd" : socket->path().c_str());
            std::weak_ptr<IPCConnection> weak = weak_from_this();
            poller_ = std::make_shared<IPCPoller>("klipc." + name_);
            limits_ = std::make_shared<IPCConnectionLimits>();
            acceptor_ = std::make_unique<IPCAcceptor>(std::move(socket).value(), [weak](int fd, const PeerCredentials& peer) {
                if (auto self = weak.lock()) self->onAccepted(fd, peer);
                else ::close(fd);
            });
        }
    } else if (role_ == Role::Server && !invalid_ && acceptedFd_ >= 0) {
        startSessionLocked(false, std::exchange(acceptedFd_, -1));
        for (auto& frame : early_) session_->send(std::move(frame));
        early_.clear();
        earlyBytes_ = 0;
    }
    scheduleDrainLocked();
}

void IPCConnection::cancel() {
    std::shared_ptr<IPCSession> session;
    std::unique_ptr<IPCAcceptor> acceptor;
    std::vector<PendingReply> failed;
    OwnedFd fd;
    std::shared_ptr<void> slot;
    {
        std::lock_guard lock(mutex_);
        if (invalid_ || shutDown_) return;
        invalid_ = true;
        resumed_ = true;  // a cancelled connection still reports its end
        session = std::move(session_);
        acceptor = std::move(acceptor_);
        fd = OwnedFd(std::exchange(acceptedFd_, -1));
        slot = std::move(slot_);
        early_.clear();
        for (auto& [id, reply] : pending_) failed.push_back(std::move(reply));
        pending_.clear();
        releaseBarriersLocked();
        InboxItem item;
        item.kind = EventKind::Invalid;
        pushLocked(std::move(item));
    }
    session.reset();   // off its poller, the socket closed
    acceptor.reset();  // joins its thread, then closes and removes the socket
    slot.reset();
    failReplies(failed, EventKind::Invalid);
}

void IPCConnection::send(const Value& body) { post(FrameKind::Message, 0, body, std::nullopt); }

void IPCConnection::sendWithReply(const Value& body, std::shared_ptr<IPCQueue> replyQueue, ReplyHandler handler) {
    post(FrameKind::Request, nextRequestId_++, body, PendingReply{0, std::move(replyQueue), std::move(handler)});
}

void IPCConnection::post(FrameKind kind, uint64_t requestId, const Value& body, std::optional<PendingReply> pending) {
    std::vector<PendingReply> failed;
    auto frame = encodeFrame(kind, requestId, body);
    {
        std::lock_guard lock(mutex_);
        if (!frame || invalid_ || role_ == Role::Listener) {
            if (!frame)
                KLLog(kKLTLoggingLevelError, "klipc: %s (%s)", frame.error().description().c_str(), name_.c_str());
            else if (role_ == Role::Listener)
                KLLog(kKLTLoggingLevelError, "klipc: a listener cannot send messages (%s)", name_.c_str());
            if (pending) failed.push_back(std::move(*pending));
        } else {
            if (!session_ && role_ == Role::Client) startSessionLocked(true, -1);
            if (pending) {
                pending->sessionId = sessionId_;
                pending_.emplace(requestId, std::move(*pending));
            }
            if (session_) {
                // A false result means the session is ending; its end answers the pending reply.
                session_->send(std::move(*frame));
            } else if (earlyBytes_ + frame->size() <= kMaxQueuedOutputBytes) {
                earlyBytes_ += frame->size();
                early_.push_back(std::move(*frame));
            } else {
                KLLog(kKLTLoggingLevelError, "klipc: message dropped: too much queued before resume (%s)", name_.c_str());
            }
        }
    }
    failReplies(failed, EventKind::Invalid);
}

void IPCConnection::sendReply(uint64_t sessionId, uint64_t requestId, const Value& body) {
    auto frame = encodeFrame(FrameKind::Reply, requestId, body);
    if (!frame) {
        KLLog(kKLTLoggingLevelError, "klipc: reply %s (%s)", frame.error().description().c_str(), name_.c_str());
        return;
    }
    std::lock_guard lock(mutex_);
    if (invalid_ || !session_ || sessionId != sessionId_) {
        KLLog(kKLTLoggingLevelDebug, "klipc: reply dropped: the requesting connection is gone (%s)", name_.c_str());
        return;
    }
    session_->send(std::move(*frame));
}

void IPCConnection::sendBarrier(Task barrier) {
    std::lock_guard lock(mutex_);
    if (finished_) {
        queue_->async(std::move(barrier));
    } else if (session_ && session_->framesWritten() < session_->framesQueued()) {
        // onWritten takes mutex_ too, so a write that completes from here on finds the barrier.
        barriers_.emplace_back(session_->framesQueued(), std::move(barrier));
    } else {
        pushBarrierLocked(std::move(barrier));
    }
}

std::optional<PeerCredentials> IPCConnection::peer() const {
    std::lock_guard lock(mutex_);
    return peer_;
}

std::string IPCConnection::description() const {
    std::lock_guard lock(mutex_);
    std::string text = "<connection: " + name_ + ", " + roleName(role_);
    if (privileged_) text += ", privileged";
    if (peer_) text += ", peer pid " + std::to_string(peer_->pid) + " euid " + std::to_string(peer_->euid);
    text += invalid_ ? ", invalid" : session_ ? ", connected" : resumed_ ? ", idle" : ", suspended";
    return text + ">";
}

void IPCConnection::shutdown() {
    std::shared_ptr<IPCSession> session;
    std::unique_ptr<IPCAcceptor> acceptor;
    std::vector<PendingReply> failed;
    std::deque<std::pair<uint64_t, Task>> barriers;
    std::deque<InboxItem> inbox;
    std::shared_ptr<const EventHandler> handler;
    OwnedFd fd;
    std::shared_ptr<void> slot;
    std::shared_ptr<IPCPoller> poller;
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) return;
        shutDown_ = invalid_ = finished_ = true;
        session = std::move(session_);
        acceptor = std::move(acceptor_);
        for (auto& [id, reply] : pending_) failed.push_back(std::move(reply));
        pending_.clear();
        barriers = std::move(barriers_);
        inbox = std::move(inbox_);
        handler = std::move(handler_);
        fd = OwnedFd(std::exchange(acceptedFd_, -1));
        slot = std::move(slot_);
        poller = std::move(poller_);
        early_.clear();
    }
    session.reset();
    acceptor.reset();
    fd.reset();
    slot.reset();
    poller.reset();  // the last one joins the poller's thread
    failReplies(failed, EventKind::Invalid);
    // Blocks waiting for a barrier still run, so nothing waits for ever.
    for (auto& [seq, task] : barriers) queue_->async(std::move(task));
    for (auto& item : inbox)
        if (item.type == InboxItem::Type::Barrier) queue_->async(std::move(item.barrier));
}

void IPCConnection::startSessionLocked(bool connecting, int fd) {
    if (connecting) sessionId_ = gNextSessionId++;
    readingPaused_ = false;
    session_ = connecting ? IPCSession::startConnecting(socketPathForService(name_), callbacksFor(sessionId_))
                          : IPCSession::startAccepted(fd, callbacksFor(sessionId_), poller_);
}

SessionCallbacks IPCConnection::callbacksFor(uint64_t id) {
    std::weak_ptr<IPCConnection> weak = weak_from_this();
    SessionCallbacks callbacks;
    callbacks.connected = [weak, id](const PeerCredentials& peer) {
        if (auto self = weak.lock()) self->onConnected(id, peer);
    };
    callbacks.frame = [weak, id](Frame&& frame, size_t cost) {
        if (auto self = weak.lock()) self->onFrame(id, std::move(frame), cost);
    };
    callbacks.written = [weak, id](uint64_t count) {
        if (auto self = weak.lock()) self->onWritten(id, count);
    };
    callbacks.ended = [weak, id](const std::string& reason, bool established) {
        if (auto self = weak.lock()) self->onEnded(id, reason, established);
    };
    return callbacks;
}

void IPCConnection::pushBarrierLocked(Task barrier) {
    InboxItem item;
    item.type = InboxItem::Type::Barrier;
    item.barrier = std::move(barrier);
    pushLocked(std::move(item));
}

void IPCConnection::releaseBarriersLocked() {
    for (auto& [seq, task] : barriers_) pushBarrierLocked(std::move(task));
    barriers_.clear();
}

void IPCConnection::pushLocked(InboxItem item) {
    inboxBytes_ += item.bytes;
    inbox_.push_back(std::move(item));
    scheduleDrainLocked();
}

void IPCConnection::scheduleDrainLocked() {
    if (!resumed_ || draining_ || inbox_.empty() || finished_) return;
    draining_ = true;
    queue_->async([self = shared_from_this()] { self->drain(); });
}

void IPCConnection::drain() {
    for (int handled = 0;; ++handled) {
        InboxItem item;
        std::shared_ptr<const EventHandler> handler;
        std::shared_ptr<IPCSession> unpause;
        {
            std::lock_guard lock(mutex_);
            if (inbox_.empty() || !resumed_ || finished_) {
                draining_ = false;
                return;
            }
            if (handled == kDrainBatch) {
                queue_->async([self = shared_from_this()] { self->drain(); });
                return;
            }
            item = std::move(inbox_.front());
            inbox_.pop_front();
            inboxBytes_ -= std::min(inboxBytes_, item.bytes);
            if (readingPaused_ && inboxBytes_ <= kMaxInboxBytes / 4 && session_) {
                readingPaused_ = false;
                unpause = session_;
            }
            handler = handler_;
        }
        if (unpause) unpause->setReadingPaused(false);
        process(item, handler);
    }
}

void IPCConnection::process(InboxItem& item, const std::shared_ptr<const EventHandler>& handler) {
    switch (item.type) {
    case InboxItem::Type::Barrier:
        item.barrier();
        return;
    case InboxItem::Type::Accepted: {
        if (!handler) return;  // nobody takes it: the descriptor closes with the item
        IPCEvent event;
        event.kind = EventKind::NewConnection;
        std::shared_ptr<IPCPoller> poller;
        {
            std::lock_guard lock(mutex_);
            poller = poller_;
        }
        event.connection = accepted(name_, item.acceptedFd.release(), item.peer, std::move(poller), std::move(item.slot));
        (*handler)(event);
        return;
    }
    case InboxItem::Type::Event: break;
    }
    item.retired.reset();
    IPCEvent event;
    event.kind = item.kind;
    event.message = std::move(item.message);
    if (handler) (*handler)(event);
    if (item.kind != EventKind::Invalid) return;

    // Kind 2 is the last event: release the handler (and what it holds) and anything left.
    std::shared_ptr<const EventHandler> released;
    std::deque<InboxItem> rest;
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        released = std::move(handler_);
        rest = std::move(inbox_);
        inboxBytes_ = 0;
    }
    for (auto& left : rest)
        if (left.type == InboxItem::Type::Barrier) left.barrier();
}

void IPCConnection::failReplies(std::vector<PendingReply>& replies, EventKind kind) {
    for (auto& reply : replies) {
        if (!reply.queue || !reply.handler) continue;
        reply.queue->async([handler = std::move(reply.handler), kind] { handler(kind, nullptr); });
    }
    replies.clear();
}

void IPCConnection::onConnected(uint64_t id, const PeerCredentials& peer) {
    std::lock_guard lock(mutex_);
    if (id == sessionId_) peer_ = peer;
}

void IPCConnection::onFrame(uint64_t id, Frame&& frame, size_t cost) {
    std::unique_lock lock(mutex_);
    if (id != sessionId_ || invalid_) return;
    if (frame.kind == FrameKind::Reply) {
        auto it = pending_.find(frame.requestId);
        if (it == pending_.end() || it->second.sessionId != id) {
            lock.unlock();
            KLLog(kKLTLoggingLevelInfo, "klipc: reply to unknown request %llu ignored (%s)",
                  (unsigned long long)frame.requestId, name_.c_str());
            return;
        }
        PendingReply reply = std::move(it->second);
        pending_.erase(it);
        lock.unlock();
        if (!reply.queue || !reply.handler) return;
        reply.queue->async([handler = std::move(reply.handler),
                            message = ReceivedMessage{std::move(frame.body), id, 0}]() mutable {
            handler(EventKind::Message, &message);
        });
        return;
    }
    InboxItem item;
    item.kind = EventKind::Message;
    item.message = ReceivedMessage{std::move(frame.body), id, frame.kind == FrameKind::Request ? frame.requestId : 0};
    item.bytes = cost;
    if (session_) item.charge = session_->chargeBacklog(cost);
    pushLocked(std::move(item));
    if (inboxBytes_ > kMaxInboxBytes && !readingPaused_ && session_) {
        readingPaused_ = true;
        session_->setReadingPaused(true);
    }
}

void IPCConnection::onWritten(uint64_t id, uint64_t framesWritten) {
    std::lock_guard lock(mutex_);
    if (id != sessionId_) return;
    while (!barriers_.empty() && barriers_.front().first <= framesWritten) {
        pushBarrierLocked(std::move(barriers_.front().second));
        barriers_.pop_front();
    }
}

void IPCConnection::onEnded(uint64_t id, const std::string& reason, bool established) {
    std::vector<PendingReply> failed;
    EventKind kind;
    std::shared_ptr<void> slot;  // freed once out of the lock
    {
        std::lock_guard lock(mutex_);
        if (id != sessionId_ || !session_ || invalid_) return;
        // Only a client whose connection had been up may come back (on its next send).
        kind = role_ == Role::Client && established ? EventKind::Interrupted : EventKind::Invalid;
        if (kind == EventKind::Invalid) invalid_ = true;
        slot = std::move(slot_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.sessionId == id || kind == EventKind::Invalid) {
                failed.push_back(std::move(it->second));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        releaseBarriersLocked();
        InboxItem item;
        item.kind = kind;
        item.retired = std::move(session_);
        pushLocked(std::move(item));
    }
    KLLog(kKLTLoggingLevelInfo, "klipc: %s connection of %s %s: %s", roleName(role_), name_.c_str(),
          kind == EventKind::Interrupted ? "interrupted" : "invalid", reason.c_str());
    failReplies(failed, kind);
}

void IPCConnection::onAccepted(int fd, const PeerCredentials& peer) {
    OwnedFd owned(fd);
    std::shared_ptr<IPCConnectionLimits> limits;
    {
        std::lock_guard lock(mutex_);
        if (invalid_ || !limits_) return;
        limits = limits_;
    }
    auto slot = limits->admit(peer, name_.c_str());
    if (!slot) return;  // over a limit: closed at once
    std::lock_guard lock(mutex_);
    if (invalid_) return;
    InboxItem item;
    item.type = InboxItem::Type::Accepted;
    item.acceptedFd = std::move(owned);
    item.peer = peer;
    item.slot = std::move(slot);
    pushLocked(std::move(item));
}

}  // namespace kl::ipc

#include "tunnel/forward/TunnexForwardedConnection.h"

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/forward/PFwdPrivate.h"
#include "tunnel/forward/TunnexBufferPool.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

// The buffers that carry reads to the channels' send queues, shared by every forwarded connection:
// enough for a few busy ones, each of which has at most kPFwdPendingLimit bytes queued.
TunnexBufferPool& sendBuffers() {
    static auto* pool = new std::shared_ptr<TunnexBufferPool>(TunnexBufferPool::create(16));  // for the process
    return **pool;
}

}  // namespace

std::shared_ptr<TunnexForwardedConnection> TunnexForwardedConnection::create(Side side,
                                                                             const std::shared_ptr<TunnexPeer>& peer,
                                                                             std::shared_ptr<TunnexSocketImpl> channel,
                                                                             std::string hostname, uint16_t port) {
    auto connection = std::make_shared<TunnexForwardedConnection>(Private{}, side, peer, std::move(channel),
                                                                  std::move(hostname), port);
    // Both reach the connection weakly, so only once it is owned.
    connection->plug_ = PFwdPrivate::create(
        side == Side::Requesting ? PFwdPrivate::Role::Accepted : PFwdPrivate::Role::Answering, connection);
    connection->channel_->setOwner(connection);
    return connection;
}

TunnexForwardedConnection::TunnexForwardedConnection(Private, Side side, const std::shared_ptr<TunnexPeer>& peer,
                                                     std::shared_ptr<TunnexSocketImpl> channel, std::string hostname,
                                                     uint16_t port)
    : side_(side),
      hostname_(std::move(hostname)),
      port_(port),
      peer_(peer),
      channel_(std::move(channel)) {}

// Dropped without its close (its peer went away with its table): the client is not left hanging.
// The last reference may go in a result pass or outside one, so the close runs from a task.
TunnexForwardedConnection::~TunnexForwardedConnection() {
    if (state_ == State::Closed || !local_) return;
    globalQueue().async([local = std::move(local_)] {
        SocketCoreLock core;
        local->closeWhenDrained();
    });
}

std::shared_ptr<Plug> TunnexForwardedConnection::plug() const { return plug_; }

void TunnexForwardedConnection::attach(SocketPtr local) {
    std::lock_guard lock(mutex_);
    local_ = std::move(local);
}

SocketPtr TunnexForwardedConnection::localSocket() const {
    std::lock_guard lock(mutex_);
    return local_;
}

void TunnexForwardedConnection::bridge() {
    SocketPtr local = localSocket();
    if (side_ == Side::Requesting) channel_->bridgeToFrozenSocket(local);
    else channel_->bridgeToSocket(local);
}

// --- local to channel ---

// The bytes are copied onto the channel's send queue instead of being waited for here: a wait in
// the core's result pass would hold the core lock and stall every other forwarded connection (and
// every bridge writing into the core) behind one slow channel. Back-pressure comes from freezing
// the local connection while too much waits to be sent.
void TunnexForwardedConnection::sendFromLocal(const char* data, int len) {
    SocketPtr local;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Open) return;
        local = local_;
    }
    KLLog(kKLTLoggingLevelVerbose, "pfd_receive %d bytes for UDT socket: %d", len, channel_->udtSocket());
    // A small write with nothing queued before it goes out from here: a round trip through the
    // forward then waits for no pool thread.
    if (channel_->sendNowIfIdle({reinterpret_cast<const uint8_t*>(data), size_t(len)})) return;
    auto bytes = sendBuffers().copyOf({reinterpret_cast<const uint8_t*>(data), size_t(len)});
    auto pending = pending_;
    pending->fetch_add(len);
    std::weak_ptr<TunnexSocketImpl> weakChannel = channel_;
    std::weak_ptr<TunnexForwardedConnection> weakSelf = weak_from_this();
    auto done = [pending, len, weakSelf] {
        if (pending->fetch_sub(len) - len > kPFwdPendingResume) return;
        // Unfreezing takes the core lock: never from the send queue itself, since a channel's
        // close (possibly under that lock) waits for the send queue.
        globalQueue().async([weakSelf] {
            if (auto connection = weakSelf.lock()) connection->resumeIfDrained();
        });
    };
    channel_->sendOperationQueue().addOperation(
        [weakChannel, bytes, done] {
            if (auto channel = weakChannel.lock()) channel->sendOwnedBytes(*bytes);
            done();
        },
        done);
    if (pending->load() >= kPFwdPendingLimit && local && !frozenForChannel_) {
        frozenForChannel_ = true;
        local->setFrozen(true);
    }
}

void TunnexForwardedConnection::resumeIfDrained() {
    SocketCoreLock core;
    if (!frozenForChannel_ || pending_->load() > kPFwdPendingResume) return;
    frozenForChannel_ = false;
    std::lock_guard lock(mutex_);
    // A closing connection reads nothing more.
    if (state_ == State::Open && local_) local_->setFrozen(false);
}

// --- closing ---

bool TunnexForwardedConnection::beginClosing() {
    std::lock_guard lock(mutex_);
    if (state_ != State::Open) return false;
    state_ = State::Closing;
    return true;
}

void TunnexForwardedConnection::localEnded(int errorCode) {
    // The core reads nothing more from a connection whose end it reported.
    if (beginClosing()) closeChannel(errorCode == 0 ? Start::LocalEnd : Start::Abort);
}

void TunnexForwardedConnection::close() {
    assertCoreLockHeld("TunnexForwardedConnection::close");
    if (!beginClosing()) {
        // Already closing: an orderly end still sending its last bytes is cut short instead.
        channel_->setShouldBeClosed(true);
        return;
    }
    stopReadingLocal();
    closeChannel(Start::Abort);
}

// The channel reports its close from outside any result pass.
void TunnexForwardedConnection::channelClosed() {
    if (beginClosing()) {  // the channel ended first
        SocketCoreLock core;
        stopReadingLocal();
    }
    finish();
}

void TunnexForwardedConnection::stopReadingLocal() {
    if (SocketPtr local = localSocket()) local->setFrozen(true);
}

// The channel's close waits for its send queue, so it never runs here, possibly under the core
// lock, nor on the send queue.
// The task holds the connection until the channel has reported its close, whoever drops it from
// the table meanwhile.
void TunnexForwardedConnection::closeChannel(Start start) {
    if (start == Start::Abort) {
        channel_->setShouldBeClosed(true);
        globalQueue().async([self = shared_from_this()] { self->channel_->close(); });
        return;
    }
    // An orderly end first sends what the client wrote before it, queued behind the earlier sends
    // and out of the channel into UDT; the connection is kept until the channel has closed.
    channel_->closeWhenSent(shared_from_this());
}

void TunnexForwardedConnection::finish() {
    SocketPtr local;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Closed) return;
        state_ = State::Closed;
        local = local_;
    }
    KLLog(kKLTLoggingLevelDebug, "pfd_close on socket: %d", sk_ossocket(local));
    // Bytes that came through the channel just before it closed are still written.
    if (local) {
        SocketCoreLock core;
        local->closeWhenDrained();
    }
    if (auto peer = peer_.lock()) {
        peer->queueCloseOfMainChannel();
        peer->closeChannel(channel_);
    }
}

}  // namespace kl

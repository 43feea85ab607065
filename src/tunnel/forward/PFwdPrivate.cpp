#include "tunnel/forward/PFwdPrivate.h"

#include <cerrno>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/forward/TunnexBufferPool.h"
#include "tunnel/forward/TunnexForwardManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/TunnexUtilities.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

constexpr const char* kClosingName = "int pfd_closing(Plug, const char *, int, int)";

int localDescriptor(const PFwdPrivate& record) { return sk_ossocket(record.s); }
int udtDescriptor(const PFwdPrivate& record) { return record.channel ? record.channel->udtSocket() : 0; }

// The buffers that carry reads to the channels' send queues, shared by every forwarded connection:
// enough for a few busy ones, each of which has at most kPFwdPendingLimit bytes queued.
TunnexBufferPool& sendBuffers() {
    static auto* pool = new std::shared_ptr<TunnexBufferPool>(TunnexBufferPool::create(16));  // for the process
    return **pool;
}

// The live record that owns socket, if any. Under the core lock.
std::shared_ptr<PFwdPrivate> openRecordOf(const SocketPtr& socket) {
    auto record = socket ? std::dynamic_pointer_cast<PFwdPrivate>(socket->plug(nullptr)) : nullptr;
    return record && record->s == socket ? record : nullptr;
}

}  // namespace

std::shared_ptr<PFwdPrivate> PFwdPrivate::create(Role role) { return std::make_shared<PFwdPrivate>(Private{}, role); }

void PFwdPrivate::attach(const SocketPtr& socket) {
    SocketCoreLock lock;
    s = socket;
    keepAlive_ = shared_from_this();
}

void PFwdPrivate::log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) {
    pfd_log(*this, type, addr, port, errorText, errorCode);
}
int PFwdPrivate::closing(const char* errorText, int errorCode, int callingBack) {
    return pfd_closing(*this, errorText, errorCode, callingBack);
}
int PFwdPrivate::receive(int urgent, const char* data, int len) { return pfd_receive(*this, urgent, data, len); }
int PFwdPrivate::accepting(int fd) { return role == Role::Listener ? pfd_accepting(*this, fd) : 1; }

// --- accepting a local client ---

int pfd_accepting(PFwdPrivate& record, int fd) {
    KLLog(kKLTLoggingLevelDebug, "pfd_accepting: %d", fd);
    if (!record.serviceConnector) {
        KLLog(kKLTLoggingLevelError, "Service connector for port forward is nil");
        return 1;
    }
    auto manager = record.manager.lock();
    if (!manager) {
        KLLog(kKLTLoggingLevelError, "No tunnel manager for incoming port forward");
        return 1;
    }
    const std::string uuid = record.serviceConnector->hostUUID();
    std::shared_ptr<TunnexPeer> peer = manager->peerForUUID(uuid);
    const bool tunnelUp = peer && peer->isConnectedToRemoteWithUUID(uuid);
    if (!tunnelUp) peer = TunnexPeer::registeredTunnexPeerOf(record.peer.lock());
    if (!peer) peer = record.peer.lock();  // a peer not registered with a server still serves its own forwards
    record.peer = peer;

    std::shared_ptr<TunnexRemotePeer> remote = manager->remotePeerForUUID(uuid);
    if (tunnelUp && !remote) {
        KLLog(kKLTLoggingLevelError,
              "No remote peer object available for incoming port forward despite service being available WTF");
        return 1;
    }
    if (tunnelUp) {
        KLLog(kKLTLoggingLevelDebug, "remote peer indexed for channel request: %p", static_cast<void*>(remote.get()));
    } else if (!remote) {
        remote = record.remotePeer;
        if (!remote) {
            KLLog(kKLTLoggingLevelError, "No remote peer object available for incoming port forward");
            return 1;
        }
        KLLog(kKLTLoggingLevelDebug, "remote peer indexed from PFwdPrivate: %p", static_cast<void*>(remote.get()));
    }
    record.remotePeer = remote;
    if (!peer) {
        KLLog(kKLTLoggingLevelError, "No tunnel peer available for incoming port forward");
        return 1;
    }

    KLLog(kKLTLoggingLevelDebug, "Peer for channel request %p", static_cast<void*>(peer.get()));
    // The connection is wrapped at once, frozen: nothing is read until its channel exists, and
    // the request owns it, so a request that fails or is dropped closes it instead of leaving the
    // client hanging on a descriptor nobody watches.
    auto connection = PFwdPrivate::create(PFwdPrivate::Role::Accepted);
    connection->peer = peer;
    connection->remotePeer = remote;
    connection->serviceConnector = record.serviceConnector;
    connection->manager = record.manager;
    connection->hostname = record.hostname;
    connection->port = record.port;
    SocketPtr socket = sk_register(fd, connection);
    if (const char* error = socket->socketError()) {
        KLLog(kKLTLoggingLevelError, "Could not register the accepted connection %d: %s", fd, error);
        return 1;
    }
    connection->attach(socket);

    auto request = std::make_shared<TunnexChannelRequest>(record.serviceConnector, peer, remote,
                                                          uint16_t(record.port), record.hostname, fd);
    request->setLocalSocket(socket);
    request->setCreateChannelBlock(pfdCreateChannel);

    if (tunnelUp) {
        KLLog(kKLTLoggingLevelInfo, "Main channel tunnel available for current service");
        manager->dispatchChannelRequest(request);
    } else {
        KLLog(kKLTLoggingLevelInfo, "Channel request without remote service. Queueing remote service start");
        peer->startRemoteServiceWithChannelRequest(request);
    }
    return 0;
}

// --- channel creation ---

namespace {

// The requesting side once its channel is decided: join it to the waiting local connection.
int32_t bridgeOpenedChannel(const std::shared_ptr<TunnexChannelRequest>& request, const TunnexForwardRequest& forward,
                            const std::shared_ptr<TunnexPeer>& peer, const std::shared_ptr<TunnexSocketImpl>& channel) {
    if (!channel) {
        auto service = request->service();
        KLLog(kKLTLoggingLevelError, "Could not complete UDT channel request for remote (%s)",
              TunnexDisplayableUUID(service ? service->hostUUID() : std::string()).c_str());
        request->closeLocalSocket();
        return 1;
    }
    SocketPtr socket = request->takeLocalSocket();
    {
        SocketCoreLock lock;
        std::shared_ptr<PFwdPrivate> record = openRecordOf(socket);
        if (!record || socket->socketError()) {
            // The client left (or the connection failed) while the channel was being opened.
            KLLog(kKLTLoggingLevelError, "The waiting connection for channel hash %d is gone", int(forward.chanHash));
            if (socket) pfd_close(socket);
            peer->closeChannel(channel);
            channel->close();
            peer->queueCloseOfMainChannel();  // the opening counted this channel
            return 1;
        }
        record->channel = channel;
        record->ready = true;
        record->hostname = forward.host;
        record->port = forward.port;
    }
    const bool closedEarly = peer->addChannel(forward.chanHash, channel);
    KLLog(kKLTLoggingLevelInfo, "Opened a TCP channel for hostname %s:%d", forward.host.c_str(), int(forward.port));
    KLLog(kKLTLoggingLevelDebug, "Channel socket: %d on channel hash: %d   UDTsocket:%d", sk_ossocket(socket),
          int(forward.chanHash), channel->udtSocket());
    if (peer->usingEncryption()) channel->setDelegate(peer);
    channel->bridgeToFrozenSocket(socket);
    // The remote refused the channel before it was entered here.
    if (closedEarly) peer->closeChannelForHash(forward.chanHash);
    return 0;
}

}  // namespace

void pfdCreateChannel(const std::shared_ptr<TunnexChannelRequest>& request, TunnexChannelRequest::ChannelBlockDone done) {
    auto peer = request->peer();
    auto remote = request->remotePeer();
    TunnexForwardRequest forward{request->hostname(), request->port(), NextChannelHash()};
    KLLog(kKLTLoggingLevelDebug, "Executing createChannelBlock peer:%p port:%d socket: %d channelHash: %d",
          static_cast<void*>(peer.get()), int(forward.port), int(request->orgSocket()), int(forward.chanHash));
    auto finish = [request, forward, peer, done = std::move(done)](std::shared_ptr<TunnexSocketImpl> channel) {
        // Off the peer's queue: joining takes the socket core's lock.
        globalQueue().async([request, forward, peer, channel, done] {
            const int32_t result = bridgeOpenedChannel(request, forward, peer, channel);
            if (done) done(result);
        });
    };
    if (!peer || !remote) {
        finish(nullptr);
        return;
    }
    peer->sendRequestForForward(forward, remote, std::move(finish));
}

// --- receiving from the local connection ---

// Bytes that do not go out at once are copied onto the channel's send queue, never waited for:
// a wait in the core's result pass would hold the core lock and stall every other forwarded
// connection (and every bridge writing into the core) behind one slow channel. Back-pressure
// comes from freezing this connection while too much waits to be sent.
int pfd_receive(PFwdPrivate& record, int urgent, const char* data, int len) {
    (void)urgent;  // every kind of data is forwarded the same way
    if (!record.ready || !record.channel || len <= 0) return 1;
    KLLog(kKLTLoggingLevelVerbose, "pfd_receive %d bytes for UDT socket: %d", len, record.channel->udtSocket());
    // A small write with nothing queued before it goes out from here: a round trip through the
    // forward then waits for no pool thread.
    if (record.channel->sendNowIfIdle({reinterpret_cast<const uint8_t*>(data), size_t(len)})) {
        return record.channel->sendErrorFlag() ? 0 : 1;
    }
    auto bytes = sendBuffers().copyOf({reinterpret_cast<const uint8_t*>(data), size_t(len)});
    auto pending = record.pending_;
    pending->fetch_add(len);
    std::weak_ptr<TunnexSocketImpl> weakChannel = record.channel;
    std::weak_ptr<PFwdPrivate> weakRecord = record.weak_from_this();
    auto done = [pending, len, weakRecord] {
        if (pending->fetch_sub(len) - len > kPFwdPendingResume) return;
        // Unfreezing takes the core lock: never from the send queue itself, since a channel's
        // close (possibly under that lock) waits for the send queue.
        globalQueue().async([weakRecord] {
            if (auto rec = weakRecord.lock()) rec->resumeIfDrained();
        });
    };
    record.channel->sendOperationQueue().addOperation(
        [weakChannel, bytes, done] {
            if (auto channel = weakChannel.lock()) channel->sendOwnedBytes(*bytes);
            done();
        },
        done);
    if (pending->load() >= kPFwdPendingLimit && record.s && !record.frozenForChannel_) {
        record.frozenForChannel_ = true;
        record.s->setFrozen(true);
    }
    return record.channel->sendErrorFlag() ? 0 : 1;
}

void PFwdPrivate::resumeIfDrained() {
    SocketCoreLock lock;
    if (!frozenForChannel_ || pending_->load() > kPFwdPendingResume) return;
    frozenForChannel_ = false;
    if (s) s->setFrozen(false);
}

// --- the end of the local connection ---

int pfd_closing(PFwdPrivate& record, const char* errorText, int errorCode, int callingBack) {
    (void)callingBack;
    const char* message = errorText ? errorText : "";
    if (errorCode != 0) {
        KLLog(kKLTLoggingLevelError, "%s error code: %d on socket: (local: %d UDT: %d) - '%s'", kClosingName, errorCode,
              localDescriptor(record), udtDescriptor(record), message);
    } else {
        KLLog(kKLTLoggingLevelDebug, "%s uneventfully on socket: (local: %d UDT: %d)", kClosingName,
              localDescriptor(record), udtDescriptor(record));
    }
    if (errorCode == EINVAL) {
        KLLog(kKLTLoggingLevelError, "%s error code: 22 on socket: (local: %d UDT: %d) :(", kClosingName,
              localDescriptor(record), udtDescriptor(record));
        return 1;
    }
    if (errorText) {
        KLLog(kKLTLoggingLevelError, "pfd_closing on socket: (local: %d UDT: %d) - %s", localDescriptor(record),
              udtDescriptor(record), errorText);
    }
    auto peer = record.peer.lock();
    if (errorCode == ECONNREFUSED && record.refused_ && record.role == PFwdPrivate::Role::Answering && peer) {
        // Every address refused: the requester learns it as a failed result. The main channel's
        // count falls when the record closes, once, like every other forwarded connection's.
        peer->sendRemoteForwardResult(false, TunnexForwardRequest{record.hostname, uint16_t(record.port), 0});
    }
    auto channel = record.channel;
    if (!channel) {
        // Not bridged yet (or a listener): nothing carries its bytes, so end it here.
        if (record.s && record.role != PFwdPrivate::Role::Listener) {
            SocketPtr socket = record.s;
            globalQueue().async([socket] { pfd_close(socket); });
        }
        return 1;
    }
    if (record.endQueued_) return 1;
    record.endQueued_ = true;
    // An orderly end first sends what the client wrote before it (queued behind the earlier
    // sends, and out of the channel into UDT); a failure ends at once. The channel's close waits
    // for its send queue, so it never runs here under the core lock nor on the send queue itself.
    if (errorCode == 0) {
        channel->closeWhenSent();
    } else {
        channel->setShouldBeClosed(true);
        std::weak_ptr<TunnexSocketImpl> weak = channel;
        globalQueue().async([weak] {
            if (auto ch = weak.lock()) ch->close();
        });
    }
    return 1;
}

// --- connection failures on the answering side ---

void pfd_log(PFwdPrivate& record, int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) {
    (void)type;
    (void)addr;
    if (errorCode == 0) return;
    // The core goes on with the next address of the host; only when the last one is refused too
    // does the closing report it (a refusal of ::1 before 127.0.0.1 answers is no failure).
    if (errorCode == ECONNREFUSED) record.refused_ = true;
    KLLog(kKLTLoggingLevelError, "TunnexPeer (PortForward): %s (%d) ", errorText ? errorText : "", errorCode);
    KLLog(kKLTLoggingLevelError, "Error connecting to port: %d", port);
}

// --- ending a forwarded connection ---

void pfd_close(const SocketPtr& socket) {
    if (!socket) return;
    std::shared_ptr<PFwdPrivate> record;
    {
        SocketCoreLock lock;
        record = openRecordOf(socket);
        if (record) {
            KLLog(kKLTLoggingLevelDebug, "pfd_close on socket: %d", sk_ossocket(socket));
            record->keepAlive_.reset();  // the caller's reference keeps it until the end here
        }
    }
    if (!record) {
        // Already closed by its record (then this does nothing more), or never owned by one.
        socket->closeWhenDrained();
        return;
    }
    std::shared_ptr<TunnexSocketImpl> channel;
    std::shared_ptr<TunnexPeer> peer;
    {
        SocketCoreLock lock;
        channel = std::move(record->channel);
        peer = record->peer.lock();
        record->peer.reset();
        record->remotePeer.reset();
        record->serviceConnector.reset();
        record->ready = false;
        record->s.reset();
    }
    if (channel) {
        if (peer) {
            peer->queueCloseOfMainChannel();
            peer->closeChannel(channel);
        }
        channel->setShouldBeClosed(true);
        channel->setLocalSocket(nullptr);
        // Runs once; here when the connection ended first (from the channel's own close it is
        // already running and this does nothing).
        globalQueue().async([channel] { channel->close(); });
    }
    // Bytes that came through the channel just before the remote closed are still written.
    socket->closeWhenDrained();
}

}  // namespace kl

#include "tunnel/forward/PFwdPrivate.h"

#include <cerrno>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/forward/TunnexForwardedConnection.h"
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

int localDescriptor(const PFwdPrivate& record) {
    if (record.role == PFwdPrivate::Role::Listener) return sk_ossocket(record.s);
    auto connection = record.connection.lock();
    return connection ? sk_ossocket(connection->localSocket()) : -1;
}

int udtDescriptor(const PFwdPrivate& record) {
    auto connection = record.connection.lock();
    return connection ? connection->channel()->udtSocket() : 0;
}

// The live record that owns socket, if any. Under the core lock.
std::shared_ptr<PFwdPrivate> openRecordOf(const SocketPtr& socket) {
    auto record = socket ? std::dynamic_pointer_cast<PFwdPrivate>(socket->plug(nullptr)) : nullptr;
    if (!record) return nullptr;
    if (record->role == PFwdPrivate::Role::Listener) return record->s == socket ? record : nullptr;
    auto connection = record->connection.lock();
    return connection && connection->localSocket() == socket ? record : nullptr;
}

}  // namespace

std::shared_ptr<PFwdPrivate> PFwdPrivate::create(Role role) { return create(role, {}); }

std::shared_ptr<PFwdPrivate> PFwdPrivate::create(Role role, std::weak_ptr<TunnexForwardedConnection> connection) {
    return std::make_shared<PFwdPrivate>(Private{}, role, std::move(connection));
}

void PFwdPrivate::attach(const SocketPtr& socket) {
    assertCoreLockHeld("PFwdPrivate::attach");
    s = socket;
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
    // The connection is wrapped at once, frozen: nothing is read (nor reported) until its channel
    // exists, so it needs no owner in the core before then. The request holds it, so a request
    // that fails or is dropped closes it instead of leaving the client hanging on a descriptor
    // nobody watches.
    SocketPtr socket = sk_register(fd, nullptr);
    if (const char* error = socket->socketError()) {
        KLLog(kKLTLoggingLevelError, "Could not register the accepted connection %d: %s", fd, error);
        return 1;
    }

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

bool socketFailed(const SocketPtr& socket) {
    SocketCoreLock lock;
    return socket->socketError() != nullptr;
}

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
    if (!socket || socketFailed(socket)) {
        // The client left (or the connection failed) while the channel was being opened.
        KLLog(kKLTLoggingLevelError, "The waiting connection for channel hash %d is gone", int(forward.chanHash));
        if (socket) pfd_close(socket);
        peer->closeChannel(channel);
        channel->close();
        peer->queueCloseOfMainChannel();  // the opening counted this channel
        return 1;
    }
    auto connection = TunnexForwardedConnection::create(TunnexForwardedConnection::Side::Requesting, peer, channel,
                                                        forward.host, forward.port);
    {
        SocketCoreLock lock;
        socket->plug(connection->plug());
        connection->attach(socket);
    }
    const bool closedEarly = peer->addChannel(forward.chanHash, connection);
    KLLog(kKLTLoggingLevelInfo, "Opened a TCP channel for hostname %s:%d", forward.host.c_str(), int(forward.port));
    KLLog(kKLTLoggingLevelDebug, "Channel socket: %d on channel hash: %d   UDTsocket:%d", sk_ossocket(socket),
          int(forward.chanHash), channel->udtSocket());
    if (peer->usingEncryption()) channel->setDelegate(peer);
    connection->bridge();
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

int pfd_receive(PFwdPrivate& record, int urgent, const char* data, int len) {
    (void)urgent;  // every kind of data is forwarded the same way
    auto connection = record.connection.lock();
    if (!connection || len <= 0) return 1;
    connection->sendFromLocal(data, len);
    return connection->channel()->sendErrorFlag() ? 0 : 1;
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
    auto connection = record.connection.lock();
    if (!connection) return 1;  // a listener, or a connection already let go
    auto peer = connection->peer();
    if (errorCode == ECONNREFUSED && record.refused_ && record.role == PFwdPrivate::Role::Answering && peer) {
        // Every address refused: the requester learns it as a failed result. The main channel's
        // count falls when the connection closes, once, like every other forwarded connection's.
        peer->sendRemoteForwardResult(false, TunnexForwardRequest{connection->hostname(), connection->port(), 0});
    }
    connection->localEnded(errorCode);
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
    SocketCoreLock lock;
    pfd_closeLocked(socket);
}

void pfd_closeLocked(const SocketPtr& socket) {
    assertCoreLockHeld("pfd_closeLocked");
    if (!socket) return;
    std::shared_ptr<PFwdPrivate> record = openRecordOf(socket);
    if (!record) {
        // Already closed by its owner (then this does nothing more), or never owned by one.
        socket->closeWhenDrained();
        return;
    }
    if (record->role != PFwdPrivate::Role::Listener) {
        if (auto connection = record->connection.lock()) connection->close();  // it logs its end
        return;
    }
    KLLog(kKLTLoggingLevelDebug, "pfd_close on socket: %d", sk_ossocket(socket));
    record->peer.reset();
    record->remotePeer.reset();
    record->serviceConnector.reset();
    record->s.reset();
    socket->close();
}

}  // namespace kl

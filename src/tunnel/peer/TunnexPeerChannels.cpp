// TunnexPeer's data channels and stream forwards: the local listener of a forward, the opening of
// a data channel on both sides of a tunnel, the answering side's outgoing connection, forward
// results, the closing of channels, the delayed close of the main channel and the teardown.
//
// The opening of data channels itself is TunnexPeerChannelOpening.cpp's.
#include <udt/udt.h>

#include <chrono>
#include <set>

#include "foundation/KLTLogging.h"
#include "platform/Error.h"
#include "tunnel/forward/PFwdPrivate.h"
#include "tunnel/forward/TunnexForwardedConnection.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/forward/TunnexForwardManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/TunnexUtilities.h"
#include "tunnel/sockcore/NameResolver.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {
namespace {

constexpr auto kCloseDeliveryLimit = std::chrono::seconds(10);
constexpr auto kCloseDeliveryStep = std::chrono::milliseconds(50);

std::string listenerKey(const std::shared_ptr<TunnexServiceConnector>& connector, uint16_t port) {
    if (connector && !connector->serviceKey().empty()) return connector->serviceKey();
    return "port:" + std::to_string(port);
}

}  // namespace

// --- forward requests ---

uint16_t TunnexPeer::requestPortForwardFromPort(uint16_t localPort, const std::string& host, uint16_t remotePort,
                                                int type, const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                Error* error, const std::shared_ptr<TunnexServiceConnector>& connector,
                                                bool loopbackOnly) {
    (void)error;  // never written: the log says why
    KLLog(kKLTLoggingLevelDebug, "requestPortForwardFromPort:%d toPort:%d", int(localPort), int(remotePort));
    uint16_t result = 0;
    if (!tunnexForwardHostFits(host)) {
        KLLog(kKLTLoggingLevelError, "Refusing a forward to a host name of %zu bytes", host.size());
    } else if (type == kForwardTypeStream) {
        const uint16_t bound = createForwardFromPort(localPort, host, remotePort, remotePeer, connector, loopbackOnly);
        result = bound != 0 && localPort != 0 ? localPort : 0;
    } else if (type == kForwardTypeDatagram) {
        result = requestDatagramForward(localPort, host, remotePort, loopbackOnly, remotePeer);
    }
    if (result != 0 && connector) {
        connector->setLocalPort(result);
        connector->setRemotePort(remotePort);
    }
    if (connector) forwardManager()->registerRemoteWithServiceConnector(connector);
    return result;
}

uint16_t TunnexPeer::createForwardFromPort(uint16_t localPort, const std::string& host, uint16_t remotePort,
                                           const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                           const std::shared_ptr<TunnexServiceConnector>& connector,
                                           bool loopbackOnly) {
    static const char* const selector = "createForwardFromPort:toHost:onPort:forRemotePeer:forServiceConnector:loopbackOnly:";
    if (!tunnexForwardHostFits(host)) return 0;
    auto record = PFwdPrivate::create(PFwdPrivate::Role::Listener);
    record->hostname = host;
    record->port = remotePort;
    record->peer = shared_from_this();
    record->remotePeer = remotePeer;
    record->serviceConnector = connector;
    record->manager = forwardManager();
    sockaddr_storage remoteAddress = remotePeer ? remotePeer->address() : sockaddr_storage{};
    KLLog(kKLTLoggingLevelDebug,
          "Creating port forward listener to: %s (%s) on local port: %d to remote port: %d for service: %s loopbackOnly: %s",
          AddressString(reinterpret_cast<const sockaddr_in*>(&remoteAddress)).value_or("0.0.0.0").c_str(),
          connector ? connector->hostUUID().c_str() : "", int(localPort), int(remotePort),
          connector ? connector->type().c_str() : "", loopbackOnly ? "YES" : "NO");

    // IPv6 with an IPv4 companion on the same port: local clients here may name the forward by
    // 127.0.0.1 as well as ::1 ("localhost" resolves to the IPv4 address first on many systems).
    SocketPtr listener;
    bool listening;
    {
        SocketCoreLock lock;
        listener = new_listener(nullptr, localPort, record, loopbackOnly, ADDRTYPE_UNSPEC);
        listening = !listener->socketError();
        if (listening) record->attach(listener);
        else listener->close();
    }
    if (!listening) {
        KLLog(kKLTLoggingLevelError, "%s - error creating new service listener socket", selector);
        return 0;
    }
    const int fd = sk_ossocket(listener);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        KLLog(kKLTLoggingLevelError, "%s - error calling getsockname() on socket: %d", selector, fd);
        pfd_close(listener);
        return 0;
    }
    const uint16_t boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                                 : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    KLLog(kKLTLoggingLevelDebug, "Listening on port: %d (%d) with socket: %d", int(localPort), int(boundPort), fd);

    auto holder = TunnexSocketImpl::create();
    holder->setDelegate(weak_from_this());
    holder->setLocalSocket(listener);
    const std::string key = listenerKey(connector, boundPort);
    KLLog(kKLTLoggingLevelDebug, "Added service listener socket: %d for service %s on local port: %d for destination port: %d",
          fd, key.c_str(), int(localPort), int(remotePort));
    // A second forward for the same service replaces the first; its listener must not linger.
    auto replaced = channelTable_.replaceListener(key, {holder, record});
    if (replaced && replaced->holder) pfd_close(replaced->holder->localSocket());
    return boundPort;
}

bool TunnexPeer::cancelPortForwardForServiceKey(const std::string& serviceKey) {
    // A listener the teardown has yet to close is found too: whoever takes it closes it.
    auto listener = channelTable_.takeListener(serviceKey);
    if (!listener) return false;
    KLLog(kKLTLoggingLevelDebug, "Closing service listener for %s", serviceKey.c_str());
    if (listener->holder) pfd_close(listener->holder->localSocket());
    return true;
}

void TunnexPeer::startRemoteServiceWithChannelRequest(const std::shared_ptr<TunnexChannelRequest>& request) {
    auto manager = forwardManager();
    manager->addChannelRequest(request);
    auto service = request->service();
    const std::string uuid = service ? service->hostUUID() : std::string();
    const std::string key = service ? service->serviceKey() : std::string();
    // A recent start counts while a peer still serves the remote: once that peer has ended (its
    // attempt failed, its tunnel died) nothing is under way, and the client would wait for nothing.
    if (manager->recentStartAttemptForRemoteUUID(uuid) && manager->peerForUUID(uuid)) {
        KLLog(kKLTLoggingLevelInfo, "Remote service (%s) to (%s) has already been initiated", key.c_str(),
              TunnexDisplayableUUID(uuid).c_str());
        // The tunnel may have come up between the client's accept and the queueing: its waiting
        // requests were served then, so this one is served now.
        auto current = manager->peerForUUID(uuid);
        if (current && current->isConnectedToRemoteWithUUID(uuid)) manager->fulfillQueuedChannelRequestsForUUID(uuid);
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "Starting remote service (%s) to (%s)", key.c_str(), TunnexDisplayableUUID(uuid).c_str());
    if (service) service->willEndRemoteService();
    connectToRemotePeer(request->remotePeer());
}

// --- the answering side ---

// On the queue, in the order messages were read: the request is noted at once (the pairing rule
// needs it before any later connection is decided), then its channel is opened like any other.
void TunnexPeer::addRemoteForward(const TunnexForwardRequest& request) {
    assertOnQueue("addRemoteForward");
    auto remote = stunPeer();
    if (!remote) {
        KLLog(kKLTLoggingLevelError, "Failed to add remote forward: no remote peer");
        notifyRemoteOfClosedChannelHash(request.chanHash);
        return;
    }
    channelOpenings_.opener().remoteAnnounced(request.chanHash);
    addRemoteForwardForRemotePeer(request, remote);
}

void TunnexPeer::addRemoteForwardForRemotePeer(const TunnexForwardRequest& request,
                                               const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                               std::function<void(bool)> done) {
    auto failed = [weak = weak_from_this(), request, remotePeer, done] {
        KLLog(kKLTLoggingLevelError, "Failed to add remote forward for (%s)",
              TunnexDisplayableUUID(remotePeer->UUID()).c_str());
        KLLog(kKLTLoggingLevelDebug, "Failed channel hash: %d", int(request.chanHash));
        if (auto self = weak.lock()) self->notifyRemoteOfClosedChannelHash(request.chanHash);
        if (done) done(false);
    };
    if (cancel()) {
        failed();
        return;
    }
    obtainChannel(remotePeer, request.chanHash, std::nullopt,
                  [weak = weak_from_this(), request, remotePeer, done, failed](std::shared_ptr<TunnexSocketImpl> channel) {
                      auto self = weak.lock();
                      if (!self || !channel) {
                          failed();
                          return;
                      }
                      // The name lookup may take seconds: on the resolver's thread, the connect after it.
                      // Either family: a host known by an IPv4 address only (as "localhost" is on
                      // many Linux systems) must be reachable too.
                      NameResolver::shared().lookup(
                          request.host, ADDRTYPE_UNSPEC,
                          [self, request, remotePeer, channel, done](SockAddrPtr address, std::string canonical) {
                              const bool connected =
                                  self->connectAnsweredForward(request, remotePeer, channel, address, canonical).ok();
                              if (done) done(connected);
                          });
                  });
}

TunnexResult<void> TunnexPeer::connectAnsweredForward(const TunnexForwardRequest& request,
                                        const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                        const std::shared_ptr<TunnexSocketImpl>& channel, const SockAddrPtr& address,
                                        const std::string& canonical) {
    const std::string shortUUID = TunnexDisplayableUUID(remotePeer->UUID());
    KLLog(kKLTLoggingLevelDebug, "Adding remote forward for (%s) with UDTsocket: %d (%p) hash: %d", shortUUID.c_str(),
          channel->udtSocket(), static_cast<void*>(channel.get()), int(request.chanHash));
    // Without the remote's channel, a failed set-up here also ends the requester's connection.
    auto abandon = [&](const char* why, TunnexError error) {
        KLLog(kKLTLoggingLevelError, why, request.host.c_str(), int(request.port));
        sendRemoteForwardResult(false, request);
        closeChannel(channel);
        channel->close();
        queueCloseOfMainChannel();
        return error;
    };
    if (!address || sk_addr_error(address)) {
        return abandon("Failed name lookup during remote forward for:  %s port: %d",
                       TunnexError(TunnexErrorCode::Unresolved, address ? sk_addr_error(address) : request.host));
    }
    auto connection = TunnexForwardedConnection::create(TunnexForwardedConnection::Side::Answering,
                                                        shared_from_this(), channel, request.host, request.port);
    if (usingEncryption()) channel->setDelegate(weak_from_this());
    SocketPtr socket;
    std::string socketError;
    bool closedEarly = false;
    {
        // The connection owns the socket and the peer's table the connection before the core can
        // report anything about it: a refusal reported at once must find them, or its close
        // leaves the channel entered and counted for good.
        SocketCoreLock lock;
        socket = new_connection(address, canonical.c_str(), request.port, false, true, false, false,
                                connection->plug());
        if (const char* failure = socket->socketError()) {
            socketError = failure;
            socket->close();
            socket.reset();
        } else {
            connection->attach(socket);
            closedEarly = addChannel(request.chanHash, connection);
        }
    }
    if (!socket) {
        return abandon("Error creating connection for remote forward for %s port: %d",
                       TunnexError(TunnexErrorCode::System, socketError));
    }
    connection->bridge();
    if (closedEarly) closeChannelForHash(request.chanHash);
    return {};
}

void TunnexPeer::sendRemoteForwardResult(bool success, const TunnexForwardRequest& forward) {
    auto message = encodeTunnexForwardResult(
        {uint8_t(TunnexForwardKind::Stream), forward.host, forward.port, forward.chanHash, success});
    if (message) sendMainChannelMessage(*message);
}

// --- the channel table ---

bool TunnexPeer::addChannel(uint32_t hash, const std::shared_ptr<TunnexForwardedConnection>& connection) {
    return channelTable_.enterConnection(hash, connection);
}

std::shared_ptr<TunnexSocketImpl> TunnexPeer::channelForHash(uint32_t hash) const {
    return channelTable_.channelForHash(hash);
}

size_t TunnexPeer::channelKeyCount() const { return channelTable_.keyCount(); }

std::vector<std::shared_ptr<TunnexForwardedConnection>> TunnexPeer::forwardedConnections() const {
    return channelTable_.connections();
}

size_t TunnexPeer::serviceListenerCount() const { return channelTable_.listenerCount(); }

void TunnexPeer::closeChannel(const std::shared_ptr<TunnexSocket>& channel) {
    const TunnexChannelTable::Keys keys = channelTable_.keysOf(channel);
    if (keys.all.empty()) return;
    noteLastChannelFacts(channel);
    // The remote knows the channel by the shared hash only; a channel stored under one key only
    // is told by that key.
    const std::string& told = keys.shared ? *keys.shared : keys.all.front();
    notifyRemoteOfClosedChannelHash(uint32_t(std::stoul(told, nullptr, 16)));
    // Let go here, outside the table's lock: the last reference to a connection may go with its
    // entry.
    channelTable_.remove(keys.all);
}

void TunnexPeer::closeChannelForHash(uint32_t channelHash) {
    // The remote may refuse a channel before this side has entered it (a requester enters its
    // channel only after deciding whose it is): its notice is then kept for addChannel.
    auto channel = channelTable_.channelForHashOrKeepCloseNotice(channelHash);
    if (!channel) return;
    markClosedWhenDelivered(channel, std::chrono::steady_clock::now() + kCloseDeliveryLimit, channel->bytesRead());
}

// The remote's notice can overtake the last bytes it sent on the channel (the notice travels on
// the main channel, the bytes on their own): marking the channel at once would drop them. The
// remote closes its UDT socket once its bytes are delivered, and the bridge ends the channel when
// it has read everything before that end. A channel still connected is looked at again; it is
// marked only when nothing has arrived on it for the whole limit.
void TunnexPeer::markClosedWhenDelivered(const std::shared_ptr<TunnexSocketImpl>& channel,
                                         std::chrono::steady_clock::time_point deadline, uint64_t bytesSeen) {
    if (channel->isClosed()) return;
    const int udt = channel->udtSocket();
    if (udt == 0) {
        channel->setShouldBeClosed(true);
        channel->enqueueBridge();
        return;
    }
    if (UDT::getsockstate(udt) != CONNECTED) {
        // The bridge reads what is left and closes the channel at the end UDT reports after it.
        channel->enqueueBridge();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const uint64_t bytes = channel->bytesRead();
    if (bytes != bytesSeen) deadline = now + kCloseDeliveryLimit;
    if (now >= deadline) {
        channel->setShouldBeClosed(true);
        // The next bridge pass closes it; make sure one comes even on a quiet channel.
        channel->enqueueBridge();
        return;
    }
    std::weak_ptr<TunnexPeer> weakPeer = weak_from_this();
    std::weak_ptr<TunnexSocketImpl> weakChannel = channel;
    globalQueue().after(kCloseDeliveryStep, [weakPeer, weakChannel, deadline, bytes] {
        auto self = weakPeer.lock();
        auto channel = weakChannel.lock();
        if (self && channel) self->markClosedWhenDelivered(channel, deadline, bytes);
    });
}

// --- the delayed close of the main channel ---

void TunnexPeer::cancelCloseOfMainChannel() {
    KLLog(kKLTLoggingLevelDebug, "Canceling closing of main channel");
    const uint16_t count = mainChannelLink_.countOpening();
    KLLog(kKLTLoggingLevelDebug, "Main channel - tunnel count %d", int(count));
}

void TunnexPeer::queueCloseOfMainChannel() {
    mainChannelLink_.countClosing(mainChannelPersists(), [weak = weak_from_this()] {
        return globalQueue().after(std::chrono::milliseconds(int64_t(kMainChannelCloseDelaySeconds * 1000)), [weak] {
            if (auto self = weak.lock()) self->disconnectFromPeers();
        });
    });
}

bool TunnexPeer::closeOfMainChannelQueued() const { return mainChannelLink_.closeQueued(); }

// --- teardown ---

void TunnexPeer::teardownConnection(ForwardListeners keepOrClose) {
    // A peer that never carried a tunnel (a registered peer whose connect request failed at the
    // server) has nothing to dismantle and stays in service, its forwards listening.
    if (!mainChannel() && channelKeyCount() == 0 && datagramForwardCount() == 0) return;
    if (tornDown_.exchange(true)) return;
    setCancel(true);
    KLLog(kKLTLoggingLevelDebug, "%s entered for peer: %p", "teardownConnection", static_cast<void*>(this));
    // The tables are emptied now, so what a caller asks of them after this call already sees the
    // tunnel gone and nothing entered later outlives it; the closing is the block's. A listener
    // still to be closed stays where cancelPortForwardForServiceKey finds (and closes) it.
    TunnexDatagramForwardTable::Sockets datagramSockets = datagramForwards_.close();
    TunnexChannelTable::Entries channels = channelTable_.takeForTeardown(keepOrClose == ForwardListeners::Close);
    auto self = shared_from_this();
    globalQueue().async([self, datagramSockets = std::move(datagramSockets), channels = std::move(channels)]() mutable {
        TunnexPeer::recycleRegisteredTunnexPeer(self);
        // A channel whose connect was under way may have been entered since: it goes too.
        channels.merge(self->channelTable_.takeForTeardown(false));
        // Waiting openings fail and channels decided for no one close, on the queue that owns them.
        self->postToQueue([](const std::shared_ptr<TunnexPeer>& peer) { peer->failChannelOpenings(); });
        TunnexDatagramForwardTable::closeSockets(datagramSockets);
        // A forwarded connection closes its channel and then its local socket; a channel of no
        // connection closes alone. Each once, though the table holds it under two keys.
        std::set<TunnexSocketImpl*> done;  // closed, or left to their connection
        for (const auto& [key, entry] : channels) {
            KLLog(kKLTLoggingLevelVerbose, "Will close tunnex socket %p - of os socket %d",
                  static_cast<void*>(entry.channel.get()),
                  sk_ossocket(entry.connection ? entry.connection->localSocket() : entry.channel->localSocket()));
            if (!entry.connection) continue;
            {
                SocketCoreLock lock;
                entry.connection->close();
            }
            done.insert(entry.channel.get());
        }
        for (const auto& [key, entry] : channels) {
            if (done.insert(entry.channel.get()).second) entry.channel->close();
        }
        while (auto closing = self->channelTable_.takeClosingListener()) {
            const TunnexChannelTable::Listener& listener = closing->second;
            if (SocketPtr socket = listener.holder ? listener.holder->localSocket() : nullptr) {
                KLLog(kKLTLoggingLevelDebug, "Closing service listener");
                pfd_close(socket);
            }
        }
        // The handoff socket's descriptor now belongs to UDT (it closes it with its last socket),
        // so only its loop is told to stop.
        if (auto handoff = self->handoffSocket()) handoff->setCancel(true);
        self->closeMainChannel();
        KLLog(kKLTLoggingLevelDebug, "Completed peer teardown block");
        if (auto target = self->delegate()) target->peerDidDismantle(self);
    });
}

}  // namespace kl

// TunnexPeer's opening of data channels, on the peer's queue: TunnexChannelOpener decides (the
// pairing rule is TunnexChannelPairing's), this file carries out its actions. Waits are timers on
// the queue and connects complete through the socket manager's poll loop, so no thread sleeps or
// blocks while a channel opens.
#include <udt/udt.h>

#include <algorithm>
#include <chrono>

#include "foundation/KLTLogging.h"
#include "platform/Error.h"
#include "tunnel/TunnexUtilities.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexUDTChannel.h"
#include "tunnel/forward/TunnexForwardManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"

namespace kl {
namespace {

using Kind = TunnexChannelOpener::Action::Kind;

std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }

}  // namespace

void TunnexPeer::sendRequestForForward(const TunnexForwardRequest& request,
                                       const std::shared_ptr<TunnexRemotePeer>& remotePeer, ChannelCompletion done) {
    auto message = encodeTunnexForwardRequest(TunnexMainChannelMessageType::AddForwardMsg, request);
    if (!message) {
        KLLog(kKLTLoggingLevelError, "Refusing a forward to a host name of %zu bytes", request.host.size());
        postToQueue([done = std::move(done)](const std::shared_ptr<TunnexPeer>&) {
            if (done) done(nullptr);
        });
        return;
    }
    obtainChannel(remotePeer, request.chanHash, std::move(message), std::move(done));
}

void TunnexPeer::obtainChannel(const std::shared_ptr<TunnexRemotePeer>& remotePeer, uint32_t sharedHash,
                               std::optional<Bytes> announce, ChannelCompletion done) {
    postToQueue([remotePeer, sharedHash, announce = std::move(announce),
                 done = std::move(done)](const std::shared_ptr<TunnexPeer>& self) mutable {
        // A peer being torn down opens nothing; a hash already waiting is a collision.
        if (self->cancel() || self->channelOpenings_.find(sharedHash)) {
            if (done) done(nullptr);
            return;
        }
        const bool ownRequest = announce.has_value();
        self->channelOpenings_.add(sharedHash, {remotePeer, std::move(announce), std::move(done)});
        self->runChannelOpener(
            self->channelOpenings_.opener().request(sharedHash, ownRequest, now(), self->channelOpenerFacts()));
    });
}

void TunnexPeer::watchLastChannel(std::chrono::steady_clock::time_point until) {
    channelOpenings_.replaceWatch(CancelHandle());
    // Until the remote has shown all the opener may wait for, or the longest wait is over: its
    // sockets tell no event of it, and a channel that closes soon cannot be asked afterwards.
    if (channelOpenerFacts().sentData || now() >= until) return;
    channelOpenings_.replaceWatch(postToQueueAfter(
        TunnexChannelOpener::kFactsPoll, [until](const std::shared_ptr<TunnexPeer>& self) { self->watchLastChannel(until); }));
}

void TunnexPeer::noteLastChannelFacts(const std::shared_ptr<TunnexSocket>& channel) {
    auto impl = std::dynamic_pointer_cast<TunnexSocketImpl>(channel);
    if (!impl) return;
    // Read now, while its UDT socket is still open; kept if it is still the channel opened last.
    TunnexChannelOpener::Facts seen;
    seen.sentData = impl->remoteSentData();
    seen.heard = seen.sentData || impl->remoteComplete();
    postToQueue([weak = std::weak_ptr<TunnexSocketImpl>(impl), seen](const std::shared_ptr<TunnexPeer>& self) {
        self->channelOpenings_.noteClosingChannel(weak.lock(), seen);
    });
}

TunnexChannelOpener::Facts TunnexPeer::channelOpenerFacts() {
    TunnexChannelOpener::Facts facts = channelOpenings_.lastChannelFacts();
    facts.announcementAcknowledged = mainChannelAcknowledged(channelOpenings_.announcementMark());
    return facts;
}

void TunnexPeer::tickChannelOpener() {
    assertOnQueue("tickChannelOpener");
    if (cancel()) {
        failChannelOpenings();
        return;
    }
    runChannelOpener(channelOpenings_.opener().tick(now(), channelOpenerFacts()));
}

void TunnexPeer::failChannelOpenings() {
    assertOnQueue("failChannelOpenings");
    runChannelOpener(channelOpenings_.opener().failAll());
}

void TunnexPeer::runChannelOpener(TunnexChannelOpener::Output out) {
    assertOnQueue("runChannelOpener");
    if (out.decided) {
        if (auto channel = channelOpenings_.connected(*out.decided)) channel->holdSendsUntil(out.sendsHeldUntil);
        watchLastChannel(now() + TunnexChannelPairing::kRemoteDecisionAllowance);
    }
    for (const auto& action : out.actions) {
        switch (action.kind) {
            case Kind::Announce: {
                const auto* request = channelOpenings_.find(action.hash);
                if (request && request->announce) {
                    KLLog(kKLTLoggingLevelDebug, "Announcing channel hash %x", action.hash);
                    channelOpenings_.setAnnouncementMark(sendMainChannelMessageMarked(*request->announce));
                }
                break;
            }
            case Kind::Connect: {
                const auto* request = channelOpenings_.find(action.hash);
                auto remote = request ? request->remotePeer : nullptr;
                openChannelForRemotePeer(remote, kForwardTypeStream, action.hash,
                                         [weak = weak_from_this()](std::shared_ptr<TunnexSocketImpl> channel) {
                                             auto self = weak.lock();
                                             if (!self) return;
                                             if (!channel) {
                                                 self->runChannelOpener(
                                                     self->channelOpenings_.opener().connectFailed());
                                                 self->failChannelOpenings();
                                                 return;
                                             }
                                             const auto id = self->channelOpenings_.keepConnected(channel);
                                             // A crossing request of the remote is readable by now
                                             // (it was acknowledged before the remote connected).
                                             self->readWaitingMainChannelMessages();
                                             // A goodbye among them ended the tunnel: the
                                             // connection then completes for no one.
                                             if (self->cancel()) self->failChannelOpenings();
                                             self->runChannelOpener(self->channelOpenings_.opener().connected(
                                                 id, now(), self->channelOpenerFacts()));
                                         });
                break;
            }
            case Kind::Deliver:
            case Kind::Fail: {
                std::shared_ptr<TunnexSocketImpl> channel;
                if (action.kind == Kind::Deliver) {
                    channel = channelOpenings_.takeConnected(action.connection);
                    if (action.hash != 0) {
                        KLLog(kKLTLoggingLevelDebug, "Data channel for hash %x decided", action.hash);
                    }
                }
                if (ChannelCompletion done = channelOpenings_.finish(action.hash)) done(channel);
                break;
            }
            case Kind::Discard: {
                auto channel = channelOpenings_.takeConnected(action.connection);
                if (!channel) break;
                KLLog(kKLTLoggingLevelDebug, "Closing a data channel no request is left for");
                closeChannel(channel);
                channel->close();
                queueCloseOfMainChannel();  // its opening counted it
                break;
            }
        }
    }
    channelOpenings_.replaceTimer(CancelHandle());
    if (!out.wakeAt) return;
    const auto delay = std::max(Duration::zero(), *out.wakeAt - now());
    channelOpenings_.replaceTimer(
        postToQueueAfter(delay, [](const std::shared_ptr<TunnexPeer>& self) { self->tickChannelOpener(); }));
}

void TunnexPeer::openChannelForRemotePeer(const std::shared_ptr<TunnexRemotePeer>& remotePeer, int type,
                                          uint32_t sharedHash, ChannelCompletion done) {
    static const char* const selector = "openChannelForRemotePeer:ofType:";
    auto tunnelSocket = remotePeer ? remotePeer->tunnelSocket() : nullptr;
    const int udpFd = tunnelSocket ? tunnelSocket->sock() : -1;
    KLLog(kKLTLoggingLevelDebug, "%s remote peer: %p", selector, static_cast<void*>(remotePeer.get()));
    KLLog(kKLTLoggingLevelDebug, "%s tunnelSocket.sock: %d", selector, udpFd);
    cancelCloseOfMainChannel();
    reportConnectStage(4, 0.0f);
    if (!remotePeer || udpFd < 0 || type != kForwardTypeStream) {
        KLLog(kKLTLoggingLevelError, "UDT::socket returned invalid socket for remote channel");
        queueCloseOfMainChannel();
        if (remotePeer) disconnectedFromRemotePeer(remotePeer);
        // Never inline: the caller is in the middle of carrying out the opener's actions.
        postToQueue([done = std::move(done)](const std::shared_ptr<TunnexPeer>&) {
            if (done) done(nullptr);
        });
        return;
    }
    const sockaddr_storage address = remotePeer->address();
    KLLog(kKLTLoggingLevelDebug, "Multiplexing to %s",
          AddressPortString(reinterpret_cast<const sockaddr_in*>(&address)).value_or("(none)").c_str());
    KLLog(kKLTLoggingLevelDebug, "UDT connecting... for channel hash: %x", sharedHash);
    openUDTChannelAsync(udpFd, address, TunnexChannelMode::Stream,
                        [weak = weak_from_this(), remotePeer, udpFd, done = std::move(done)](TunnexResult<int> opened) {
                            // On the poll loop's thread (or the caller's when the connect could
                            // not start): the rest belongs to the peer's queue.
                            auto self = weak.lock();
                            if (!self) {
                                if (opened.ok()) UDT::close(opened.value());
                                return;
                            }
                            self->postToQueue([remotePeer, udpFd, done, opened](const std::shared_ptr<TunnexPeer>& peer) {
                                auto channel = peer->channelConnected(remotePeer, udpFd, opened);
                                if (done) done(channel);
                            });
                        });
}

std::shared_ptr<TunnexSocketImpl> TunnexPeer::channelConnected(const std::shared_ptr<TunnexRemotePeer>& remotePeer,
                                                                int udpFd, const TunnexResult<int>& opened) {
    if (!opened.ok()) {
        KLLog(kKLTLoggingLevelError, "Connect failed due to error: %s for UDT channel socket: %d",
              opened.error().description().c_str(), 0);
        queueCloseOfMainChannel();
        forwardManager()->channelRequestFailedForRemote(remotePeer);
        disconnectedFromRemotePeer(remotePeer);
        return nullptr;
    }
    reportConnectStage(4, 0.1f);
    KLLog(kKLTLoggingLevelInfo, "UDT multiplex channel connection successful for remote (%s)",
          TunnexDisplayableUUID(remotePeer->UUID()).c_str());
    KLLog(kKLTLoggingLevelDebug, "Channel using tunnel socket: %d UDT channel socket: %d", udpFd, opened.value());
    auto channel = TunnexSocketImpl::create(opened.value());
    const std::string key = StringForChannelHash(NextChannelHash());
    channelTable_.enterLocalOnly(key, channel);
    return channel;
}

}  // namespace kl

// TunnexPeer's datagram dispatcher: every datagram of every socket of the peer arrives here, on that
// socket's loop thread, which classifies it and hands its handling, with a copy of the bytes, to
// the peer's queue. There server replies are opened and handed to the reply handlers, and
// hole-punch words and records update the handshake state and are answered through the connection
// layer. Datagrams of a datagram forward are relayed over the main channel from the loop thread.
#include <arpa/inet.h>

#include <cryptopp/secblock.h>

#include <cstring>

#include "foundation/KLTLogging.h"
#include "tunnel/protocol/TunnexDatagramClass.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/protocol/TunnexHolePunchHandshake.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

void TunnexPeer::willBeginListeningForDatagramsOnSocket(KLNetSocket& socket) {
    // The first ping of a registered peer leaves once its socket listens; it runs on the queue
    // like every later one.
    std::weak_ptr<KLNetSocket> listening = socket.weak_from_this();
    postToQueue([listening](const std::shared_ptr<TunnexPeer>& peer) {
        auto socket = listening.lock();
        bool activePing;
        {
            TunnexContext& context = peer->context();
            std::lock_guard lock(context.pingSocketLock_);
            activePing = socket && context.registeredPeer_ == peer && context.pingSocket_ == socket;
        }
        if (activePing) peer->serverPing();
    });
}

bool TunnexPeer::shouldContinueToReceiveDatagramsOnSocket(KLNetSocket& socket, bool& shouldClose) {
    // The descriptor outlives the loop: after the handshake it belongs to the reliable transport.
    shouldClose = false;
    if (context_->pingSocket().get() == &socket) return true;
    if (handoffSocket().get() == &socket) return !handoffComplete();
    return true;
}

namespace {

// A word that may end the receiving socket's loop: an acceptance, or the remote's transport
// standing in for one, cancels the loop so that UDT alone reads the descriptor from then on.
bool mayEndTheLoop(TunnexDatagramKind kind) {
    return kind == TunnexDatagramKind::Accept || kind == TunnexDatagramKind::UDTPacket;
}

}  // namespace

void TunnexPeer::datagramReceivedForSocketFromAddress(KLNetSocket& socket, const KLNetDatagram& data,
                                                      const sockaddr* from, socklen_t fromLength) {
    // This runs on the socket's loop thread: it only classifies and hands the work to the queue.
    sockaddr_in sender{};
    if (from && fromLength >= socklen_t(sizeof(sockaddr_in)) && from->sa_family == AF_INET) {
        std::memcpy(&sender, from, sizeof sender);
    }

    std::shared_ptr<KLNetSocket> pingSocket;
    {
        std::lock_guard lock(context_->pingSocketLock_);
        if (context_->registeredPeer_.get() == this) pingSocket = context_->pingSocket_;
    }
    const bool onPingSocket = pingSocket.get() == &socket;
    if (!onPingSocket && handoffSocket().get() != &socket) {
        // Relayed here, not on the queue: the relay touches none of the queue's state (the
        // forward table and the cipher have their own locks), and a forwarded datagram must
        // neither wait behind the handshake's work nor overtake the one before it.
        relayForwardDatagram(socket, data.bytes, from, fromLength);
        return;
    }

    const TunnexPeerDatagram datagram = classifyTunnexDatagram(data.bytes);
    if (datagram.kind == TunnexDatagramKind::Unexpected) {
        const unsigned first = data.bytes.size() > 0 ? data.bytes[0] : 0;
        const unsigned second = data.bytes.size() > 1 ? data.bytes[1] : 0;
        KLLog(kKLTLoggingLevelDebug, "Unexpected packet: %01x%01x   for socket:%p : %d (%zu bytes from %s)", first,
              second, static_cast<void*>(&socket), socket.sock(), data.bytes.size(),
              AddressPortString(&sender).value_or("(none)").c_str());
        return;
    }
    // The work carries its own copy of the bytes. It holds the socket weakly: a socket closed and
    // let go meanwhile has nothing left to answer from, and its last owner stays its owner.
    auto work = [received = socket.weak_from_this(), bytes = Bytes(data.bytes.begin(), data.bytes.end()), datagram,
                 sender, onPingSocket](const std::shared_ptr<TunnexPeer>& peer) {
        if (auto socket = received.lock()) peer->handleDatagram(*socket, bytes, datagram, sender, onPingSocket);
    };
    if (mayEndTheLoop(datagram.kind)) {
        // The loop reads its next datagram as soon as this call returns: a word that ends the loop
        // must have done so by then, or the loop would take the transport's first packets. The
        // loop thread waits for the queue here (it is a loop of its own, never a pool worker).
        auto self = shared_from_this();
        queue_->sync([&] { work(self); });
        return;
    }
    postToQueue(std::move(work));
}

void TunnexPeer::handleDatagram(KLNetSocket& socket, const Bytes& bytes, const TunnexPeerDatagram& datagram,
                                const sockaddr_in& sender, bool onPingSocket) {
    assertOnQueue("handleDatagram");
    const std::string senderText = AddressPortString(&sender).value_or("(none)");
    switch (datagram.kind) {
    case TunnexDatagramKind::ServerReply: handleServerReply(bytes, onPingSocket); break;
    case TunnexDatagramKind::Hello: handleHello(socket, datagram, sender, senderText); break;
    case TunnexDatagramKind::Confirm: handleConfirm(socket, datagram, sender, senderText); break;
    case TunnexDatagramKind::Accept: handleAccept(socket, datagram, sender, senderText); break;
    case TunnexDatagramKind::UDTPacket: handleUDTPacket(socket, sender, senderText); break;
    case TunnexDatagramKind::Unexpected: break;  // logged by the loop thread
    }
}

void TunnexPeer::handleServerReply(std::span<const uint8_t> bytes, bool onActivePingSocket) {
    const Bytes key = privateKey();
    TunnexOpenedReply reply = tunnexOpenReply(bytes, key, context_->replyNonces());
    if (!reply) return;
    switch (reply.packetType()) {
    case ServerPongMsg:
        if (!onActivePingSocket) {
            KLLog(kKLTLoggingLevelDebug, "Pong on a socket that is not the active ping socket; dropped");
            return;
        }
        receivedPong(reply.plaintext);
        break;
    case ServerInvitationMsg: receivedInvitation(reply.plaintext); break;
    case ServerErrorMsg: handleError(reply.plaintext); break;
    default: KLLog(kKLTLoggingLevelDebug, "Server reply of unknown type %u; dropped", unsigned(reply.packetType()));
    }
}

// --- hole-punch words and records ---

namespace {

std::shared_ptr<TunnexPeerConnectionLayer> layerOrLog(TunnexContext& context, uint16_t magic,
                                                      const std::string& senderText) {
    auto layer = context.connectionLayer();
    if (!layer) {
        KLLog(kKLTLoggingLevelDebug, "Hole-punch datagram %04x from %s dropped: no hole-punch layer", unsigned(magic),
              senderText.c_str());
    }
    return layer;
}

}  // namespace

bool TunnexPeer::ignoredAfterCompletion(const std::string& senderText) const {
    // The completion connects toward the address of the datagram that settled the handshake; late
    // datagrams (a fresh socket of the remote reaching this one directly, say) must not move it.
    if (!connectionCompletionInitiated()) return false;
    KLLog(kKLTLoggingLevelDebug, "Hole-punch datagram from %s after the connection was settled; ignored",
          senderText.c_str());
    return true;
}

void TunnexPeer::pointStunPeerAtSender(const std::shared_ptr<TunnexRemotePeer>& remote, KLNetSocket& socket,
                                       const sockaddr_in& sender) {
    sockaddr_storage address{};
    std::memcpy(&address, &sender, sizeof sender);
    remote->setAddress(address);
    remote->setPort(ntohs(sender.sin_port));
    remote->setHasPeerAddress(true);
    remote->setTunnelSocket(socket.shared_from_this());
}

std::shared_ptr<TunnexTransaction> TunnexPeer::transactionOfRecord(int64_t transactionId,
                                                                   const std::shared_ptr<TunnexRemotePeer>& stun,
                                                                   bool* matchesStunPeer) {
    if (matchesStunPeer) *matchesStunPeer = false;
    if (transactionId <= 0) return nullptr;
    auto manager = context_->manager();
    auto transaction = manager ? manager->transactionForTransactionId(transactionId) : nullptr;
    if (!transaction) {
        KLLog(kKLTLoggingLevelDebug, "No matching transaction instance for transactionId: %lld", (long long)transactionId);
        return nullptr;
    }
    const bool matches = transaction->remotePeer() == stun;
    if (matchesStunPeer) *matchesStunPeer = matches;
    if (!matches && stun) KLLog(kKLTLoggingLevelDebug, "stunPeer does not match stored remote peer for transactionId");
    return transaction;
}

namespace {

bool isOriginatorFor(TunnexContext& context, int64_t transactionId) {
    auto manager = context.manager();
    return manager && manager->isOriginatorForTransactionId(transactionId);
}

bool sameEndpoint(const sockaddr_storage& stored, const sockaddr_in& sender) {
    if (stored.ss_family != AF_INET) return false;
    const auto& address = *reinterpret_cast<const sockaddr_in*>(&stored);
    return address.sin_addr.s_addr == sender.sin_addr.s_addr && address.sin_port == sender.sin_port;
}

}  // namespace

std::optional<TunnexPeer::AdmittedHandshakeWord> TunnexPeer::admitHandshakeWord(const TunnexPeerDatagram& datagram,
                                                                              const sockaddr_in& sender,
                                                                              const std::string& senderText) {
    auto layer = layerOrLog(*context_, datagram.magic, senderText);
    if (!layer || ignoredAfterCompletion(senderText)) return std::nullopt;
    auto stun = stunPeer();
    auto transaction = attemptTransactionOf(datagram, stun, sender, senderText);
    if (!transaction) return std::nullopt;
    return AdmittedHandshakeWord{std::move(layer), std::move(stun), std::move(transaction),
                                 isOriginatorFor(*context_, datagram.transactionId)};
}

std::shared_ptr<TunnexTransaction> TunnexPeer::attemptTransactionOf(const TunnexPeerDatagram& datagram,
                                                                    const std::shared_ptr<TunnexRemotePeer>& stun,
                                                                    const sockaddr_in& sender,
                                                                    const std::string& senderText) {
    // Anyone can send a datagram to a registered port: only a record of the attempt under way,
    // from an address the server named for that remote, moves the handshake. The short words
    // carry no transaction, so they never do.
    const char* refusal = nullptr;
    std::shared_ptr<TunnexTransaction> transaction;
    if (!datagram.isRecord) {
        refusal = "a short word names no transaction";
    } else if (!stun) {
        refusal = "no attempt under way";
    } else {
        bool matches = false;
        transaction = transactionOfRecord(datagram.transactionId, stun, &matches);
        if (!transaction) {
            refusal = "unknown transaction";
        } else if (transaction->isComplete()) {
            refusal = "the transaction is done";
        } else if (!matches) {
            refusal = "not the transaction of the attempt under way";
        } else if (!transaction->invitationNames(sender)) {
            refusal = "the invitation did not name the sender";
        }
    }
    if (!refusal) return transaction;
    KLLog(kKLTLoggingLevelDebug, "Hole-punch datagram %04x from %s ignored: %s", unsigned(datagram.magic),
          senderText.c_str(), refusal);
    return nullptr;
}

void TunnexPeer::handleHello(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                             const std::string& senderText) {
    KLLog(kKLTLoggingLevelInfo, "Received HELLO message.  Peer is coming from %s", senderText.c_str());
    auto word = admitHandshakeWord(datagram, sender, senderText);
    if (!word) return;
    auto& [layer, stun, transaction, originator] = *word;
    TunnexHolePunchFacts facts;
    facts.originator = originator;
    const auto decision = decideTunnexHolePunch(TunnexHolePunchWord::Ahoy, TunnexHolePunchPath::Handoff, facts);
    std::lock_guard lock(lock_);
    KLLog(kKLTLoggingLevelDebug, "Previous connection attempts: %zu", connectionAttempts_.size());
    pointStunPeerAtSender(stun, socket, sender);
    if (cancel()) return;
    auto handoff = handoffSocket();
    connectionAttempts_[senderText] = handoff;
    if (decision.reply == TunnexHolePunchDecision::Reply::Ahoy) {
        KLLog(kKLTLoggingLevelInfo, "Returning AHOY to %s : %d", AddressString(&sender).value_or("").c_str(),
              int(stun->port()));
        layer->ahoySocket(handoff, transaction);
    } else {
        KLLog(kKLTLoggingLevelInfo, "Returning CONFIRM to %s : %d", AddressString(&sender).value_or("").c_str(),
              int(stun->port()));
        layer->acknowledgeSocket(handoff, transaction, kTunnexPeerConfirmMsg);
    }
}

void TunnexPeer::handleConfirm(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                               const std::string& senderText) {
    // Checked before the flag moves: a forged confirmation must not make the real one "additional".
    auto word = admitHandshakeWord(datagram, sender, senderText);
    if (!word) return;
    auto& [layer, stun, transaction, originator] = *word;
    TunnexHolePunchFacts facts;
    facts.originator = originator;
    facts.confirmedBefore = std::exchange(handshakeConfirmed_, true);
    const auto decision = decideTunnexHolePunch(TunnexHolePunchWord::Confirm, TunnexHolePunchPath::Handoff, facts);
    if (decision.markWaitingForAcceptance) transaction->setIsWaitingForAcceptance(true);
    if (facts.confirmedBefore) {
        KLLog(kKLTLoggingLevelInfo, "Received additional CONFIRM message.  Peer is coming from %s", senderText.c_str());
        return;
    }
    KLLog(kKLTLoggingLevelInfo, "Received CONFIRM message.  Peer is coming from %s", senderText.c_str());
    if (!decision.complete) return;
    std::lock_guard lock(lock_);
    pointStunPeerAtSender(stun, socket, sender);
    // The remote's UUID stays the one the invitation named.
    if (decision.reply == TunnexHolePunchDecision::Reply::Accept) {
        layer->acknowledgeSocket(handoffSocket(), transaction, kTunnexPeerAcceptMsg);
    }
    layer->dispatchCompleteConnectionWithPeer(shared_from_this(), stun);
}

void TunnexPeer::handleAccept(KLNetSocket& socket, const TunnexPeerDatagram& datagram, const sockaddr_in& sender,
                              const std::string& senderText) {
    KLLog(kKLTLoggingLevelInfo, "Received ACCEPT message.  Peer is coming from %s", senderText.c_str());
    auto word = admitHandshakeWord(datagram, sender, senderText);
    if (!word) return;
    auto& [layer, stun, transaction, originator] = *word;
    TunnexHolePunchFacts facts;
    facts.originator = originator;
    facts.waitingForAcceptance = transaction->isWaitingForAcceptance();
    const auto decision = decideTunnexHolePunch(TunnexHolePunchWord::Accept, TunnexHolePunchPath::Handoff, facts);
    if (!decision.complete) {
        KLLog(kKLTLoggingLevelDebug, "ACCEPT from %s ignored: %s", senderText.c_str(), decision.ignored);
        return;
    }
    completeTowardSender(*layer, stun, socket, sender);
}

void TunnexPeer::completeTowardSender(TunnexPeerConnectionLayer& layer, const std::shared_ptr<TunnexRemotePeer>& stun,
                                      KLNetSocket& socket, const sockaddr_in& sender) {
    pointStunPeerAtSender(stun, socket, sender);
    KLLog(kKLTLoggingLevelInfo, "Canceling listening on tunnel socket");
    // The loop ends after this pass and leaves the open descriptor to the reliable transport.
    if (auto tunnelSocket = stun->tunnelSocket()) tunnelSocket->setCancel(true);
    layer.dispatchCompleteConnectionWithPeer(shared_from_this(), stun);
}

void TunnexPeer::handleUDTPacket(KLNetSocket& socket, const sockaddr_in& sender, const std::string& senderText) {
    KLLog(kKLTLoggingLevelInfo, "Received UDT handshake message");
    // The originator starts its reliable transport as soon as it sends ACCEPT. Should that ACCEPT
    // be lost, the transport's own handshake from the very endpoint this responder confirmed
    // stands in for it; otherwise the responder would wait for an acceptance that never comes.
    if (connectionCompletionInitiated()) return;
    auto layer = context_->connectionLayer();
    auto stun = stunPeer();
    if (!layer || !stun || !stun->hasPeerAddress() || !sameEndpoint(stun->address(), sender)) return;
    bool matches = false;
    auto transaction = transactionOfRecord(stun->attemptTransactionId(), stun, &matches);
    if (!transaction || !matches || transaction->isComplete() || !transaction->invitationNames(sender)) return;
    TunnexHolePunchFacts facts;
    facts.originator = isOriginatorFor(*context_, transaction->transactionId());
    {
        std::lock_guard lock(lock_);
        facts.fromConfirmedEndpoint = connectionAttempts_.count(senderText) != 0;
    }
    const auto decision =
        decideTunnexHolePunch(TunnexHolePunchWord::TransportHandshake, TunnexHolePunchPath::Handoff, facts);
    if (!decision.complete) return;
    KLLog(kKLTLoggingLevelInfo, "Remote's transport started from %s: taken as its acceptance", senderText.c_str());
    completeTowardSender(*layer, stun, socket, sender);
}

// --- datagram forwards ---

namespace {

// A sender on a loopback address: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped into IPv6.
bool isLoopbackSender(const sockaddr* from, socklen_t fromLength) {
    if (!from) return false;
    if (from->sa_family == AF_INET && fromLength >= socklen_t(sizeof(sockaddr_in))) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(from)->sin_addr.s_addr) >> 24) == 127;
    }
    if (from->sa_family == AF_INET6 && fromLength >= socklen_t(sizeof(sockaddr_in6))) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(from)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    return false;
}

}  // namespace

void TunnexPeer::relayForwardDatagram(KLNetSocket& socket, std::span<const uint8_t> bytes, const sockaddr* from,
                                      socklen_t fromLength) {
    const uint32_t channelHash = uint32_t(socket.tag());
    if (datagramForwards_.loopbackOnly(channelHash) && !isLoopbackSender(from, fromLength)) {
        KLLog(kKLTLoggingLevelVerbose, "Forwarded datagram of channel %x dropped: not from this machine", channelHash);
        return;
    }
    // Checked before the outbound stream advances: a datagram encrypted and then not sent would
    // put the remote's inbound stream out of step.
    auto layer = context_->connectionLayer();
    if (!layer) {
        KLLog(kKLTLoggingLevelDebug, "Forwarded datagram of channel %x dropped: no main channel", channelHash);
        return;
    }
    // Each forward relays on its own socket's thread; encryption and send stay together so the
    // datagrams leave in the order the stream ran over them.
    datagramForwards_.relayInOrder([&] {
        Bytes payload(bytes.begin(), bytes.end());
        if (usingEncryption() && !payload.empty()) {
            // The model serialises its own streams; the relay order keeps the datagrams'.
            auto model = getEncryptor();
            if (!model->encryptionReady()) return;  // keys not agreed yet: dropped
            CryptoPP::SecByteBlock block(payload.data(), payload.size());
            CryptoPP::SecByteBlock sealed = model->encryptByteBlock(block);
            payload.assign(sealed.begin(), sealed.end());
        }
        layer->sendMainChannelMessage(shared_from_this(), tunnexForwardDatagramMessage(channelHash, payload));
    });
}

}  // namespace kl

// TunnexPeer's main channel: taking the connected channel, the reader that the socket manager
// calls for each waiting message, the key exchange, the goodbye, the life check and the sends.
//
// A tunnel ends once: the first of a goodbye received, a failed receive, a failed life check, the
// main channel's close or disconnectFromPeers reports the outcome; whatever comes later only makes
// sure the main channel is closed. So a goodbye is sent at most once, never answered with another,
// and the manager and the delegate hear of the end once.
#include <limits>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/protocol/TunnexChannelHash.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/protocol/TunnexEncryptionHandshake.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/protocol/TunnexMainChannelMessage.h"
#include "tunnel/peer/TunnexPeer.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/TunnexSocketManager.h"

namespace kl {
namespace {

using Type = TunnexMainChannelMessageType;

constexpr int kMaxMessagesReadAtOnce = 256;

}  // namespace

void TunnexPeer::takeMainChannel(const std::shared_ptr<TunnexSocketImpl>& channel) {
    if (!channel) return;
    auto self = shared_from_this();
    channel->setDelegate(self);
    setMainChannel(channel);
    mainChannelLink_.reset();
    // A new main channel negotiates afresh. Its messages are handled on the queue behind this
    // (its reading starts only below).
    postToQueue([](const std::shared_ptr<TunnexPeer>& peer) {
        peer->keyExchange_ = TunnexEncryptionHandshake(peer->wantEncryption());
    });
    reportConnectStage(2, 1.0f);
    if (wantEncryption()) {
        reportConnectStage(3, 0.0f);
        setConnectionStatus(TunnexTunnelEncrypting);
        if (auto manager = context_->manager(); manager && stunPeer()) {
            manager->dispatchReportConnectionStatus(TunnexTunnelEncrypting, stunPeer()->UUID());
        }
    }
    // The wish goes out before anything is read: the remote's wish, read first, would make this
    // side send its public value ahead of its wish, and the remote could then acknowledge that
    // value before sending its own.
    sendMainChannelMessage(tunnexMainChannelHeader(wantEncryption() ? Type::WillEncryptMsg : Type::WontEncryptMsg));
    TunnexSocketManager::sharedInstance().addSocket(channel);
}

bool TunnexPeer::performMainChannelListen() {
    bool keep = false;
    {
        TunnexMainChannelLink::ReadTurn turn(mainChannelLink_);
        keep = readMainChannelMessage(turn).ok();
        if (turn.nothingKept()) return keep;
    }
    postToQueue([](const std::shared_ptr<TunnexPeer>& peer) { peer->handleReadMainChannelMessages(); });
    return keep;
}

void TunnexPeer::readWaitingMainChannelMessages() {
    assertOnQueue("readWaitingMainChannelMessages");
    {
        TunnexMainChannelLink::ReadTurn turn(mainChannelLink_);
        // Bounded: a remote that keeps sending must not hold the queue here for ever.
        for (int count = 0; count < kMaxMessagesReadAtOnce; ++count) {
            // A channel to be dropped is left to the poll thread, which finds it so on its next pass.
            TunnexResult<bool> read = readMainChannelMessage(turn);
            if (!read || !*read) break;
        }
    }
    handleReadMainChannelMessages();
}

void TunnexPeer::handleReadMainChannelMessages() {
    assertOnQueue("handleReadMainChannelMessages");
    while (std::optional<TunnexMainChannelMessage> next = mainChannelLink_.nextRead()) handleMainChannelMessage(*next);
}

TunnexResult<bool> TunnexPeer::readMainChannelMessage(TunnexMainChannelLink::ReadTurn& turn) {
    if (!stunPeer()) return TunnexError(TunnexErrorCode::NotConnected, "no remote peer");
    auto channel = mainChannel();
    if (!channel) return false;
    mainChannelLink_.markListening();
    channel->setBlocking(false);
    if (channel->isClosed() || cancel()) return TunnexError(TunnexErrorCode::NotConnected, "main channel closed");

    Error error;
    std::optional<Bytes> message = channel->recvNonBlocking(&error);
    if (!message || message->empty()) {
        const TunnexError failure = message ? TunnexError(TunnexErrorCode::NotConnected, "empty message")
                                            : TunnexError::fromError(error);
        // The socket manager saw the channel readable, but a wake-up may be spurious.
        if (failure.udtCode() == kUDTErrorNothingToReceive) return false;
        KLLog(kKLTLoggingLevelError, "%s",
              failure.udtCode() == kUDTErrorConnectionLost ? "Main channel connection reset"
                                                           : "Main channel receive error");
        // Behind the messages read before the loss: a goodbye among them ends the tunnel as the
        // remote asked (its forwards closed), not as a lost remote (its forwards kept).
        postToQueue([](const std::shared_ptr<TunnexPeer>& peer) {
            peer->handleReadMainChannelMessages();
            if (peer->claimMainChannelEnd()) peer->lostRemote();
        });
        return failure;
    }

    const TunnexMainChannelDecoded decoded = decodeTunnexMainChannelMessage(*message);
    switch (decoded.refusal) {
        case TunnexMainChannelRefusal::None:
            turn.keep(decoded.message);
            break;
        case TunnexMainChannelRefusal::WrongMark:
            return true;  // not a message of ours: dropped without a word
        case TunnexMainChannelRefusal::UnknownType:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - unknown message");
            break;
        default:
            KLLog(kKLTLoggingLevelError, "mainChannel - dropped %s message of %zu bytes: %s",
                  tunnexMainChannelTypeName(decoded.type), message->size(),
                  tunnexMainChannelRefusalText(decoded.refusal));
            break;
    }
    if (decoded.refusal != TunnexMainChannelRefusal::NoHeader) {
        KLLog(kKLTLoggingLevelVerbose, "Received packet of type %u.", unsigned(decoded.type));
    }
    return true;
}

void TunnexPeer::handleMainChannelMessage(const TunnexMainChannelMessage& message) {
    switch (message.type) {
        case Type::AddForwardMsg: {
            const auto& request = std::get<TunnexForwardRequest>(message.body);
            KLLog(kKLTLoggingLevelDebug, "addForward to: %s   port: %d    chanHash: %d", request.host.c_str(),
                  int(request.port), int(request.chanHash));
            addRemoteForward(request);
            break;
        }
        case Type::TunnexLocalUDPForward:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - TunnexLocalUDPForward message");
            addLocalUDPForward(std::get<TunnexForwardRequest>(message.body));
            break;
        case Type::AddRemoteUDPForwardMsg:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - AddRemoteUDPForwardMsg message");
            addRemoteUDPForward(std::get<TunnexRemoteUDPForwardRequest>(message.body));
            break;
        case Type::ForwardDatagramMsg:
            deliverForwardDatagram(std::get<TunnexForwardDatagram>(message.body));
            break;
        case Type::Goodbye:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - Goodbye message");
            setCancel(true);
            if (claimMainChannelEnd()) disconnectedFromRemote();
            break;
        case Type::ForwardSuccessResult:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - ForwardSuccessResult message");
            reportPortForwardResult(std::get<ForwardSuccessResult>(message.body));
            break;
        case Type::TunnexSocketCloseMsg: {
            const uint32_t channelHash = std::get<TunnexSocketClose>(message.body).chanHash;
            KLLog(kKLTLoggingLevelInfo, "mainChannel - received TunnexSocketCloseMsg message for chanHash: %d (%s)",
                  int(channelHash), StringForChannelHash(channelHash).c_str());
            closeChannelForHash(channelHash);
            break;
        }
        case Type::LifeCheckMsg:
            break;
        default:
            handleKeyExchangeMessage(message);
            break;
    }
}

// --- key exchange ---

void TunnexPeer::handleKeyExchangeMessage(const TunnexMainChannelMessage& message) {
    using Step = TunnexEncryptionHandshake::Step;
    TunnexEncryptionHandshake::Steps steps;
    switch (message.type) {
        case Type::WillEncryptMsg:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - WillEncryptMsg message");
            steps = keyExchange_.remoteWillEncrypt();
            break;
        case Type::WontEncryptMsg:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - WontEncryptMsg message");
            steps = keyExchange_.remoteWontEncrypt();
            break;
        case Type::DHPublicKeyMsg: {
            KLLog(kKLTLoggingLevelDebug, "mainChannel - DHPublicKeyMsg message");
            if (!keyExchange_.takesPublicKey()) {
                steps = {Step::Ignored};
                break;
            }
            const Bytes& value = std::get<TunnexKeyMaterial>(message.body).bytes;
            const bool agreed = getEncryptor()->updateWithOtherPublicKey(value.data(), value.size());
            if (!agreed) KLLog(kKLTLoggingLevelError, "mainChannel - refused the remote public value");
            steps = keyExchange_.remotePublicKey(agreed);
            break;
        }
        case Type::DHPublicKeyAck:
            KLLog(kKLTLoggingLevelDebug, "mainChannel - DHPublicKeyAck message");
            steps = keyExchange_.remoteAcknowledged();
            if (steps.empty()) {
                KLLog(kKLTLoggingLevelDebug, "mainChannel - key acknowledged before agreement; sent once agreed");
            }
            break;
        case Type::DHEncryptedCEKMsg: {
            KLLog(kKLTLoggingLevelDebug, "mainChannel - DHEncryptedCEKMsg message");
            if (!keyExchange_.takesWrappedKey()) {
                steps = {Step::Ignored};
                break;
            }
            const Bytes& wrapped = std::get<TunnexKeyMaterial>(message.body).bytes;
            auto model = getEncryptor();
            model->updateWithOtherContentEncryptionKey(wrapped.data(), wrapped.size());
            reportConnectStage(3, 1.0f);
            steps = keyExchange_.remoteWrappedKey(model->hasRemoteCEK());
            break;
        }
        default:
            return;
    }
    setUsingEncryption(keyExchange_.usingEncryption());
    for (Step step : steps) {
        switch (step) {
            case Step::SendPublicKey:
                sendDHPublicKey();
                break;
            case Step::SendAcknowledgement:
                sendMainChannelMessage(tunnexMainChannelHeader(Type::DHPublicKeyAck));
                break;
            case Step::SendWrappedKey:
                sendEncryptedCEK();
                break;
            case Step::Connected:
                didConnectWithRemotePeer(stunPeer());
                break;
            case Step::Failed:
                failedToConnectWithRemotePeer(stunPeer());
                break;
            case Step::Ignored:
                KLLog(kKLTLoggingLevelDebug, "mainChannel - %s message has no place in the key exchange now",
                      tunnexMainChannelTypeName(uint8_t(message.type)));
                break;
        }
    }
}

void TunnexPeer::sendEncryptedCEK() {
    const CryptoPP::SecByteBlock wrapped = getEncryptor()->getEncryptedCEK();
    if (wrapped.empty()) {
        KLLog(kKLTLoggingLevelError, "mainChannel - no agreed key to send");
        return;
    }
    sendMainChannelMessage(encodeTunnexKeyMessage(Type::DHEncryptedCEKMsg, wrapped));
}

void TunnexPeer::sendDHPublicKey() {
    sendMainChannelMessage(encodeTunnexKeyMessage(Type::DHPublicKeyMsg, getEncryptor()->getDHPublicKey()));
}

// --- sends ---

TunnexResult<void> TunnexPeer::sendMainChannelMessage(const Bytes& message, double timeout) {
    auto channel = mainChannel();
    if (!channel || channel->isClosed()) return TunnexError(TunnexErrorCode::NotConnected, "no main channel");
    return mainChannelLink_.send(*channel, message, timeout);
}

uint64_t TunnexPeer::sendMainChannelMessageMarked(const Bytes& message) {
    // A message that did not go out is never acknowledged.
    if (!sendMainChannelMessage(message)) return std::numeric_limits<uint64_t>::max();
    return mainChannelLink_.packetsQueued();
}

bool TunnexPeer::mainChannelAcknowledged(uint64_t mark) {
    auto channel = std::dynamic_pointer_cast<TunnexSocketImpl>(mainChannel());
    return channel && mainChannelLink_.acknowledged(channel->udtSocket(), mark);
}

void TunnexPeer::notifyRemoteOfClosedChannelHash(uint32_t channelHash) {
    KLLog(kKLTLoggingLevelDebug, "Notifying remote of closed channel hash: %d (%x)", int(channelHash), channelHash);
    sendMainChannelMessage(encodeTunnexSocketClose(channelHash));
}

// --- ending ---

void TunnexPeer::disconnectFromPeers() {
    if (claimMainChannelEnd()) {
        sendMainChannelMessage(tunnexMainChannelHeader(Type::Goodbye));
        disconnectedFromRemotePeer(stunPeer());
        std::lock_guard lock(lock_);
        encryptModel_.reset();
    }
    closeMainChannel();
}

void TunnexPeer::mainChannelLost() {
    if (claimMainChannelEnd()) {
        lostRemote();
        std::lock_guard lock(lock_);
        encryptModel_.reset();
    }
    closeMainChannel();
}

void TunnexPeer::cancelConnection() {
    if (cancel_.exchange(true)) return;
    if (mainChannel()) disconnectFromPeers();
}

// The check's message waits in the channel, not on a thread, for as long as a dead peer leaves
// UDT without room; the failure is reported from the pool once the limit passes.
void TunnexPeer::mainChannelLifeCheck() {
    std::weak_ptr<TunnexPeer> weak = weak_from_this();
    auto failed = [weak] {
        auto self = weak.lock();
        if (!self) return;
        KLLog(kKLTLoggingLevelError, "Error sending mainChannel life check");
        self->mainChannelLost();
    };
    auto channel = mainChannel();
    if (!channel || channel->isClosed()) {
        globalQueue().async(failed);
        return;
    }
    channel->sendMessageWithin(tunnexMainChannelHeader(Type::LifeCheckMsg), kLifeCheckSendTimeout,
                               [failed](bool sent) {
                                   if (!sent) failed();
                               });
}

void TunnexPeer::closeMainChannel() {
    // close() runs its body once, unregisters the channel from the socket manager and tells us
    // through closedSocket, which finds the tunnel already ended.
    if (auto channel = mainChannel()) channel->close();
}

void TunnexPeer::closedSocket(const std::shared_ptr<TunnexSocket>& socket) {
    if (!socket || socket != mainChannel()) return;
    if (claimMainChannelEnd()) disconnectedFromRemotePeer(stunPeer());
}

}  // namespace kl

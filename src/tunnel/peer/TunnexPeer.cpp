// TunnexPeer's object side: creation and destruction, properties, the encryption model, connection
// time-outs, the outcomes the rendezvous exchange reports and the debugging description.
#include "tunnel/peer/TunnexPeer.h"

#include <cryptopp/integer.h>

#include <sstream>

#include "foundation/KLTLogging.h"
#include "tunnel/channel/TunnexEncryption.h"
#include "tunnel/TunnexGuardedAccessors.h"
#include "tunnel/peer/TunnexContext.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"
#include "tunnel/manager/TunnexRemoteManager.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/TunnexUtilities.h"

namespace kl {

std::shared_ptr<TunnexPeer> TunnexPeer::initUsingEncryption(bool wantEncryption, uint64_t assignedId,
                                                            TunnexClock clock, std::shared_ptr<TunnexContext> context) {
    initialize();
    if (!context) context = TunnexContext::processDefault();
    return std::make_shared<TunnexPeer>(Private{}, wantEncryption, assignedId, std::move(clock), std::move(context));
}

TunnexPeer::TunnexPeer(Private, bool wantEncryption, uint64_t assignedId, TunnexClock clock,
                       std::shared_ptr<TunnexContext> context)
    : wantEncryption_(wantEncryption),
      clock_(std::move(clock)),
      context_(std::move(context)),
      queue_(std::make_unique<SerialQueue>("tunnex-peer")),
      assignedId_(assignedId) {
    privateKey_.reserve(16);
    connectionInitiationDate_ = clock_();
}

TunnexPeer::~TunnexPeer() {
    // A registered peer is held by its context, so one being destroyed holds no registration.
    pingTimers_.cancelAll();
    std::shared_ptr<KLNetSocket> socket;
    {
        std::lock_guard lock(fieldsMutex_);
        socket = std::move(handoffSocket_);
        mainChannel_.reset();
    }
    if (socket) socket->close();
    std::lock_guard lock(lock_);
    encryptModel_.reset();
}

// --- the peer's own queue ---

void TunnexPeer::postToQueue(PeerTask task) {
    queue_->async([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) task(self);
    });
}

CancelHandle TunnexPeer::postToQueueAfter(Duration delay, PeerTask task) {
    return queue_->after(delay, [weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) task(self);
    });
}

void TunnexPeer::assertOnQueue(const char* where) const {
    KLAssert(onQueue(), "%s runs off its peer's queue", where);
}

// --- properties ---

std::shared_ptr<KLNetSocket> TunnexPeer::handoffSocket() const {
    std::lock_guard lock(fieldsMutex_);
    return handoffSocket_;
}

void TunnexPeer::setHandoffSocket(std::shared_ptr<KLNetSocket> socket) {
    {
        std::lock_guard lock(fieldsMutex_);
        std::swap(handoffSocket_, socket);
    }
    // The replaced socket is released here, outside the lock: its destruction joins its loop.
}

KL_TUNNEX_GUARDED_ACCESSORS(TunnexPeer, fieldsMutex_, std::shared_ptr<TunnexSocket>, mainChannel, setMainChannel,
                            mainChannel_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexPeer, fieldsMutex_, std::shared_ptr<TunnexRemotePeer>, stunPeer, setStunPeer, stunPeer_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexPeer, fieldsMutex_, Bytes, privateKey, setPrivateKey, privateKey_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexPeer, fieldsMutex_, std::string, serverHost, setServerHost, serverHost_)
KL_TUNNEX_GUARDED_ACCESSORS(TunnexPeer, fieldsMutex_, Date, connectionInitiationDate, setConnectionInitiationDate,
                            connectionInitiationDate_)

sockaddr_storage TunnexPeer::extAddress() const {
    std::lock_guard lock(fieldsMutex_);
    return extAddress_;
}

std::shared_ptr<TunnexPeerDelegate> TunnexPeer::delegate() const {
    std::lock_guard lock(fieldsMutex_);
    return delegate_.lock();
}

void TunnexPeer::setDelegate(std::weak_ptr<TunnexPeerDelegate> delegate) {
    std::lock_guard lock(fieldsMutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<TunnexForwardManagerLink> TunnexPeer::forwardManager() const {
    {
        std::lock_guard lock(fieldsMutex_);
        if (auto manager = forwardManager_.lock()) return manager;
    }
    return TunnexRemoteManager::sharedInstance();
}

void TunnexPeer::setForwardManager(std::weak_ptr<TunnexForwardManagerLink> manager) {
    std::lock_guard lock(fieldsMutex_);
    forwardManager_ = std::move(manager);
}

std::shared_ptr<TunnexPeerProgressDelegate> TunnexPeer::progressDelegate() const {
    std::lock_guard lock(fieldsMutex_);
    return progressDelegate_.lock();
}

void TunnexPeer::setProgressDelegate(std::weak_ptr<TunnexPeerProgressDelegate> delegate) {
    std::lock_guard lock(fieldsMutex_);
    progressDelegate_ = std::move(delegate);
}

std::shared_ptr<TunnexPeerInviteDelegate> TunnexPeer::inviteDelegate() const {
    std::lock_guard lock(fieldsMutex_);
    return inviteDelegate_.lock();
}

void TunnexPeer::setInviteDelegate(std::weak_ptr<TunnexPeerInviteDelegate> delegate) {
    std::lock_guard lock(fieldsMutex_);
    inviteDelegate_ = std::move(delegate);
}

std::map<std::string, std::weak_ptr<KLNetSocket>> TunnexPeer::connectionAttempts() const {
    std::lock_guard lock(lock_);
    return connectionAttempts_;
}

// --- encryption model and time-outs ---

std::shared_ptr<TunnexEncryption> TunnexPeer::getEncryptor() {
    std::lock_guard lock(lock_);
    if (!encryptModel_) {
        encryptModel_ = std::make_shared<TunnexEncryption>();
        encryptModel_->initialize();
    }
    return encryptModel_;
}

void TunnexPeer::tunnexConnectionTimeOut() {
    // The outcome runs with the rest of the connection's steps, on the queue.
    postToQueue([](const std::shared_ptr<TunnexPeer>& peer) { peer->failedToConnectWithRemotePeer(peer->stunPeer()); });
}

void TunnexPeer::markStartForConnectionTimeout() { setConnectionInitiationDate(clock_()); }

bool TunnexPeer::shouldTimeoutPeer() const {
    if (connectionComplete()) return false;
    return clock_().secondsSince1970 - connectionInitiationDate().secondsSince1970 > kConnectionTimeoutSeconds;
}

bool TunnexPeer::shouldAbandonPeer() const { return connectionComplete() && !isConnected(); }

bool TunnexPeer::isConnected() const {
    return connectionStatus() == TunnexTunnelConnected && stunPeer() && mainChannel();
}

// --- hole-punch state ---

bool TunnexPeer::noteConnectionAttempt(const std::string& senderText, std::shared_ptr<KLNetSocket> socket,
                                       bool refuseDuplicate) {
    std::lock_guard lock(lock_);
    if (refuseDuplicate && connectionAttempts_.count(senderText)) return false;
    connectionAttempts_[senderText] = std::move(socket);
    return true;
}

bool TunnexPeer::beginConnectionCompletion() {
    assertOnQueue("beginConnectionCompletion");
    return !std::exchange(connectionCompletionInitiated_, true);
}

// --- description ---

namespace {

// One big unsigned number, most significant byte first, in lower-case hexadecimal with an h.
std::string bigNumberText(const CryptoPP::SecByteBlock& block) {
    CryptoPP::Integer value(block.data(), block.size());
    std::ostringstream text;
    text << std::hex << std::nouppercase << value;
    return text.str();
}

}  // namespace

std::string TunnexPeer::description() {
    std::string text = std::string("Contacted Server: ") + (contactedServer() ? "YES" : "NO") + "\n";
    auto model = getEncryptor();
    if (model->encryptionReady()) return text + "Encryption Ready: YES\n";
    auto publicKey = model->getDHPublicKey();
    text += publicKey.empty() ? "DH Public Key: None\n" : "DH Public Key: " + bigNumberText(publicKey) + "\n";
    text += model->hasRemotePublicKey() ? "Remote Public Key: " + bigNumberText(model->getOtherPublicKey()) + "\n"
                                        : "Remote Public Key: None\n";
    text += model->hasKeyEncryptionKey() ? "Key Encryption Key: YES\n" : "Key Encryption Key: None\n";
    text += model->hasLocalCEK() ? "Local Encryption Key: YES\n" : "Local Encryption Key: None\n";
    text += model->hasRemoteCEK() ? "Remote Encryption Key: YES\n" : "Remote Encryption Key: None\n";
    text += "Local IV: YES\nLocal IV: " + bigNumberText(model->getLocalIV()) + "\n";
    text += model->hasRemoteIV() ? "Remote IV: YES\nRemote IV: " + bigNumberText(model->getRemoteIV()) + "\n"
                                 : "Remote IV: None\n";
    return text;
}

}  // namespace kl

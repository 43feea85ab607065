#include "tunnel/channel/TunnexSocketImpl.h"

#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/KLTLogging.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/manager/TunnexServiceConnector.h"
#include "tunnel/channel/TunnexSocketManager.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {

namespace {

// Serial numbers of the sockets made in this process.
std::atomic<uint32_t> tunnexSocketCount{0};

// A bridge operation runs passes back to back while UDT holds more, then yields its pool thread.
constexpr int kBridgePassesPerOperation = 32;
constexpr auto kUnsentCheckStep = std::chrono::milliseconds(10);
constexpr auto kUnsentStallLimit = std::chrono::seconds(10);

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void setIntOption(int udtSocket, UDTOpt option, int value) {
    UDT::setsockopt(udtSocket, 0, option, &value, sizeof value);
}

void setBoolOption(int udtSocket, UDTOpt option, bool value) {
    UDT::setsockopt(udtSocket, 0, option, &value, sizeof value);
}

int milliseconds(double seconds) { return int(std::clamp(seconds * 1000.0, -1.0, double(INT_MAX))); }

}  // namespace

std::shared_ptr<TunnexSocketImpl> TunnexSocketImpl::create(int udtSocket) {
    return std::shared_ptr<TunnexSocketImpl>(new TunnexSocketImpl(udtSocket));
}

TunnexSocketImpl::TunnexSocketImpl(int udtSocket)
    : socketId_(tunnexSocketCount.fetch_add(1)),
      udtSocket_(udtSocket),
      ownedUDTSocket_(udtSocket),
      sendQueue_("TunnexSocketSendQueue"),
      bridgeQueue_("TunnexSocketBridgeQueue") {
    setSendsNonBlocking();
}

// A socket dropped without close() still gives its UDT socket back.
TunnexSocketImpl::~TunnexSocketImpl() {
    if (!closeStarted_.load()) closeUDTSocket(ownedUDTSocket_.load());
}

void TunnexSocketImpl::setUDTSocket(int udtSocket) {
    udtSocket_.store(udtSocket);
    if (udtSocket != 0) ownedUDTSocket_.store(udtSocket);
    setSendsNonBlocking();
}

// Set before anyone uses the socket: UDT changes an option only under the socket's send and
// receive locks, so setting it at the first send would wait for a receive in progress.
void TunnexSocketImpl::setSendsNonBlocking() {
    if (udtSocket() > 0) setOption(UDT_SNDTIMEO, 0);
}

SocketPtr TunnexSocketImpl::localSocket() const {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    return localSocket_;
}

void TunnexSocketImpl::setLocalSocket(SocketPtr local) {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    localSocket_ = std::move(local);
}

void TunnexSocketImpl::setOwner(std::weak_ptr<TunnexChannelOwner> owner) {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    owner_ = std::move(owner);
}

std::shared_ptr<TunnexServiceConnector> TunnexSocketImpl::serviceListener() const {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    return serviceListener_;
}

void TunnexSocketImpl::setServiceListener(std::shared_ptr<TunnexServiceConnector> listener) {
    std::lock_guard<std::mutex> guard(fieldsMutex_);
    serviceListener_ = std::move(listener);
}

double TunnexSocketImpl::bandwidthInmbps() {
    UDT::TRACEINFO perf{};
    if (UDT::perfmon(udtSocket(), &perf, false) == UDT::ERROR) return 0.0;
    return perf.mbpsBandwidth;
}

void TunnexSocketImpl::setBlocking(bool blocking) { setOption(UDT_RCVSYN, blocking ? 1 : 0); }

// UDT takes the socket's send lock to change any option, and a blocked send holds that lock while
// it waits for room: a bridge pass that set its receive options every time waited for the other
// direction's send slices, up to half a second per pass. So an option goes to UDT only when its
// value changes; the passes and sends of a running channel then set none.
void TunnexSocketImpl::setOption(UDTOpt option, int value) {
    std::lock_guard<std::mutex> guard(optionsMutex_);
    const int udt = udtSocket();
    if (udt != optionsSocket_) {
        optionsSocket_ = udt;
        optionValues_.clear();
    }
    auto known = optionValues_.find(option);
    if (known != optionValues_.end() && known->second == value) return;
    optionValues_[option] = value;
    if (option == UDT_RCVSYN || option == UDT_SNDSYN) setBoolOption(udt, option, value != 0);
    else setIntOption(udt, option, value);
}

// Closed for the bridge once the remote is gone and nothing it sent is left unread: a remote that
// closes right after its last bytes breaks the connection while they may still wait here.
bool TunnexSocketImpl::isBridgeClosed() {
    char name[128];
    int length = sizeof name;
    if (UDT::getpeername(udtSocket(), reinterpret_cast<sockaddr*>(name), &length) != UDT::ERROR) return false;
    return !udtHasData();
}

// --- Bridging -----------------------------------------------------------------------------------

void TunnexSocketImpl::bridgeToSocket(const SocketPtr& local) {
    // A connection that failed at once has already closed the channel, and its local socket.
    if (closeStarted_.load()) return;
    KLLog(kKLTLoggingLevelDebug, "Bridging UDT socket: %d to local socket: %d", udtSocket(), sk_ossocket(local));
    setLocalSocket(local);
    TunnexSocketManager::sharedInstance().addSocket(self());
    enqueueBridge();
}

void TunnexSocketImpl::bridgeToFrozenSocket(const SocketPtr& local) {
    setLocalSocket(local);
    TunnexSocketManager::sharedInstance().addSocket(self());
    std::weak_ptr<TunnexSocketImpl> weak = self();
    globalQueue().async([weak, local] {
        if (local) {
            SocketCoreLock lock;
            local->setFrozen(false);
        }
        if (auto socket = weak.lock()) socket->enqueueBridge();
    });
}

bool TunnexSocketImpl::enqueueBridge() {
    // While the local socket has no room the bridge reads nothing more from UDT, whose flow control
    // then holds the remote back; the room callback (or a close) brings the next pass.
    if (awaitingLocalRoom_.load() && !shouldBeClosed_.load()) return false;
    if (bridgeScheduled_.exchange(true)) return false;
    std::weak_ptr<TunnexSocketImpl> weak = self();
    bridgeQueue_.addOperation(
        [weak] {
            if (auto socket = weak.lock()) socket->runBridgePasses();
        },
        [weak] {
            if (auto socket = weak.lock()) socket->bridgeScheduled_.store(false);
        });
    return true;
}

// Passes run back to back while UDT still holds data, so a busy stream does not wait for the
// manager's next cycle between receives.
void TunnexSocketImpl::runBridgePasses() {
    bool moved = false;
    for (int pass = 0; pass < kBridgePassesPerOperation; ++pass) {
        moved = performBridge();
        if (!moved || awaitingLocalRoom_.load() || !udtHasData()) break;
    }
    bridgeScheduled_.store(false);
    // A pass that filled the local socket leaves the next one to the room callback, unless that
    // came already and found this operation still scheduled.
    if (moved && udtHasData() && enqueueBridge()) return;
    TunnexSocketManager::sharedInstance().bridgePassEnded();
}

bool TunnexSocketImpl::udtHasData() {
    int32_t available = 0;
    int length = sizeof available;
    if (UDT::getsockopt(udtSocket(), 0, UDT_RCVDATA, &available, &length) == UDT::ERROR) return false;
    return available > 0;
}

// The received bytes are decrypted where UDT put them and written from there into the local
// socket: the core's own buffer is their only other copy.
bool TunnexSocketImpl::performBridge() {
    {
        std::lock_guard<std::mutex> guard(bridgeStateMutex_);
        passRunning_ = true;
    }
    setBlocking(false);
    bool moved = false;
    SocketPtr local;
    int backlog = 0;
    if (!shouldBeClosed_.load() && !awaitingLocalRoom_.load()) {
        std::lock_guard<std::mutex> guard(receiveMutex_);
        TunnexResult<int> received = receiveDecrypted(kPackBufferSize, kBridgeReceiveTimeout);
        const int count = received ? *received : 0;
        KLLog(kKLTLoggingLevelVerbose, "received bytes: %lu for UDT socket: %d", static_cast<unsigned long>(count),
              udtSocket());
        const int udtCode = received ? 0 : received.error().udtCode();
        if (udtCode == kUDTErrorConnectionLost || udtCode == kUDTErrorInvalidSocket) {
            KLLog(kKLTLoggingLevelError, "Closing channel on error: %s", received.error().description().c_str());
            shouldBeClosed_.store(true);
        } else if (count > 0) {
            local = localSocket();
            if (local) {
                SocketCoreLock lock;
                backlog = local->write(receiveBuffer_.get(), count);
                if (backlog >= kSocketBacklogLimit) awaitLocalRoom(local);
            }
            bytesWritten_.fetch_add(uint64_t(count));
            moved = true;
        }
    }
    bool finishPendingClose = false;
    {
        std::lock_guard<std::mutex> guard(bridgeStateMutex_);
        passRunning_ = false;
        finishPendingClose = std::exchange(closeAwaitsPass_, false);
    }
    if (shouldBeClosed_.load()) close();
    if (finishPendingClose) finishClose();
    return moved;
}

// The bridge pauses instead of holding a thread until the local socket drains (a closed or failed
// socket ends the pause too: the next pass finds it so). Under the core lock.
void TunnexSocketImpl::awaitLocalRoom(const SocketPtr& local) {
    awaitingLocalRoom_.store(true);
    std::weak_ptr<TunnexSocketImpl> weak = self();
    local->whenRoom([weak](bool) {
        auto socket = weak.lock();
        if (!socket) return;
        socket->awaitingLocalRoom_.store(false);
        socket->enqueueBridge();
    });
}

// --- Receiving ----------------------------------------------------------------------------------

TunnexResult<int> TunnexSocketImpl::receiveInto(size_t length, bool message, const char* caller) {
    if (receiveBufferSize_ < length) {
        receiveBuffer_.reset(new char[length]);
        receiveBufferSize_ = length;
    }
    int capacity = int(std::min(length, size_t(INT_MAX)));
    int count = message ? UDT::recvmsg(udtSocket(), receiveBuffer_.get(), capacity)
                        : UDT::recv(udtSocket(), receiveBuffer_.get(), capacity, 0);
    if (count != UDT::ERROR) return count;
    TunnexError failure = TunnexError::lastUDT();
    // Nothing waiting on a non-blocking receive is how a drained channel answers, not a fault.
    KLTLoggingLevel level =
        failure.udtCode() == kUDTErrorNothingToReceive ? kKLTLoggingLevelVerbose : kKLTLoggingLevelError;
    if (message) {
        KLLog(level, "%s resulted in error %d, '%s'", caller, failure.udtCode(), failure.description().c_str());
    } else {
        KLLog(level, "Receive resulted in error %d, '%s' for socket: %d", failure.udtCode(),
              failure.description().c_str(), udtSocket());
    }
    return failure;
}

TunnexResult<int> TunnexSocketImpl::receiveDecrypted(uint64_t maxLength, double timeout) {
    auto delegate = this->delegate();
    uint64_t length = maxLength;
    // A delegate that names a block size gets room for a whole block more than asked (a block
    // size of 0 counts as 1).
    if (std::optional<uint64_t> blockSize = delegate ? delegate->encryptedBlockSize() : std::nullopt) {
        uint64_t block = std::max<uint64_t>(*blockSize, 1);
        length = maxLength + block - (maxLength % block);
    }
    setOption(UDT_RCVTIMEO, milliseconds(timeout));
    TunnexResult<int> received = receiveInto(size_t(std::min<uint64_t>(length, INT_MAX)), false, "recvBytes");
    if (!received) {
        // Only a lost connection marks the socket; no other failure clears a mark someone made.
        if (received.error().udtCode() == kUDTErrorConnectionLost) shouldBeClosed_.store(true);
        return received;
    }
    const int count = *received;
    auto plain = std::span<uint8_t>(reinterpret_cast<uint8_t*>(receiveBuffer_.get()), size_t(count));
    if (!delegate || !delegate->decryptInPlace(plain, streamDecryptor_)) {
        // The stream cannot go on intact after bytes that did not decrypt.
        KLLog(kKLTLoggingLevelError, "Failed to decrypt data!");
        shouldBeClosed_.store(true);
        return TunnexError(TunnexErrorCode::Cipher, "Failed to decrypt data!");
    }
    bytesRead_.fetch_add(uint64_t(count));
    return count;
}

std::optional<Bytes> TunnexSocketImpl::recvBytes(uint64_t maxLength, double timeout, Error* error) {
    std::lock_guard<std::mutex> guard(receiveMutex_);
    std::optional<int> count = valueOrReport(receiveDecrypted(maxLength, timeout), error);
    if (!count) return std::nullopt;
    return Bytes(receiveBuffer_.get(), receiveBuffer_.get() + *count);
}

std::optional<Bytes> TunnexSocketImpl::recvNonBlocking(Error* error) {
    std::lock_guard<std::mutex> guard(receiveMutex_);
    return valueOrReport(takeReceived(receiveInto(kPackBufferSize, true, "recvNonBlocking")), error);
}

// UDT's message receive with a time-out waits for the next arrival before it looks at what is
// already queued, so a waiting message would sit there for the whole time-out. So: wait for a
// message with select, then take it without blocking.
std::optional<Bytes> TunnexSocketImpl::recvMessage(double timeout, Error* error) {
    std::lock_guard<std::mutex> guard(receiveMutex_);
    int udt = udtSocket();
    setOption(UDT_RCVTIMEO, milliseconds(timeout));
    UDT::UDSET readable{udt};
    double wholeSeconds = std::floor(std::max(timeout, 0.0));
    timeval wait{long(wholeSeconds), long((std::max(timeout, 0.0) - wholeSeconds) * 1'000'000)};
    int ready = UDT::select(0, &readable, nullptr, nullptr, &wait);
    if (ready == 0) {
        TunnexError failure = TunnexError::fromUDT(CUDTException(6, 3, 0));
        KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", "recvMessage", failure.udtCode(),
              failure.description().c_str());
        failure.reportTo(error);
        return std::nullopt;
    }
    bool blocking = true;
    int length = sizeof blocking;
    UDT::getsockopt(udt, 0, UDT_RCVSYN, &blocking, &length);
    setOption(UDT_RCVSYN, 0);
    TunnexResult<int> received = receiveInto(kPackBufferSize, true, "recvMessage");
    setOption(UDT_RCVSYN, blocking ? 1 : 0);
    return valueOrReport(takeReceived(received), error);
}

TunnexResult<Bytes> TunnexSocketImpl::takeReceived(const TunnexResult<int>& received) {
    if (!received) return received.error();
    bytesRead_.fetch_add(uint64_t(*received));
    return Bytes(receiveBuffer_.get(), receiveBuffer_.get() + *received);
}

// --- Sending ------------------------------------------------------------------------------------

uint64_t TunnexSocketImpl::sendMessage(const Bytes& data, double timeout, Error* error) {
    std::lock_guard<std::mutex> guard(messageMutex_);
    int udt = udtSocket();
    setOption(UDT_SNDTIMEO, milliseconds(timeout));
    KLLog(kKLTLoggingLevelVerbose, "Sending message over UDT tunnel");
    // In order: control messages (key exchange, then forwards) must arrive as they were sent.
    int sent = UDT::sendmsg(udt, reinterpret_cast<const char*>(data.data()), int(data.size()), -1, true);
    if (sent != UDT::ERROR) return uint64_t(sent);
    Error failure = errorFromUDTErrorInfo(UDT::getlasterror());
    KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", "sendMessage", int(failure.code()),
          failure.description().c_str());
    if (error) *error = failure;
    return 0;
}

void TunnexSocketImpl::sendMessageWithin(Bytes data, double limitSeconds, std::function<void(bool)> done) {
    const auto limit = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(std::max(limitSeconds, 0.0)));
    {
        std::lock_guard<std::mutex> guard(waitingMutex_);
        waitingMessages_.push_back({std::move(data), limit, std::move(done)});
    }
    flushMessages();
}

// A message UDT has no room for waits here rather than on a thread. The message lock is only
// tried: a blocking sendMessage() holding it must not stall the caller (the loop's thread).
void TunnexSocketImpl::flushMessages() {
    std::vector<std::pair<std::function<void(bool)>, bool>> finished;
    bool waiting = false;
    {
        std::unique_lock<std::mutex> sending(messageMutex_, std::try_to_lock);
        std::lock_guard<std::mutex> guard(waitingMutex_);
        while (sending && !waitingMessages_.empty()) {
            WaitingMessage& message = waitingMessages_.front();
            const int udt = udtSocket();
            bool sent = false;
            if (udt != 0 && !closeStarted_.load()) {
                setOption(UDT_SNDTIMEO, 0);
                sent = UDT::sendmsg(udt, reinterpret_cast<const char*>(message.data.data()), int(message.data.size()),
                                    -1, true) != UDT::ERROR;
                if (!sent) {
                    Error failure = errorFromUDTErrorInfo(UDT::getlasterror());
                    const bool noRoom = udtSendFoundNoRoom(failure.code());
                    if (noRoom && UDT::getsockstate(udt) == CONNECTED &&
                        std::chrono::steady_clock::now() < message.limit) {
                        break;
                    }
                    KLLog(kKLTLoggingLevelError, "%s resulted in error %d, '%s'", "sendMessage", int(failure.code()),
                          failure.description().c_str());
                }
            }
            finished.emplace_back(std::move(message.done), sent);
            waitingMessages_.pop_front();
        }
        waiting = !waitingMessages_.empty();
    }
    if (waiting) watchForRoom();
    for (auto& [done, sent] : finished) {
        if (done) globalQueue().async([done = std::move(done), sent = sent] { done(sent); });
    }
}

void TunnexSocketImpl::holdSendsUntil(std::chrono::steady_clock::time_point moment) {
    sendsHeldUntil_.store(moment);
}

bool TunnexSocketImpl::sendsHeld() {
    const auto until = sendsHeldUntil_.load();
    if (until == std::chrono::steady_clock::time_point{}) return false;
    if (std::chrono::steady_clock::now() < until && !shouldBeClosed_.load() && !remoteComplete()) return true;
    sendsHeldUntil_.store({});
    return false;
}

bool TunnexSocketImpl::remoteComplete() {
    UDT::TRACEINFO perf{};
    if (UDT::perfmon(udtSocket(), &perf, false) == UDT::ERROR) return false;
    return perf.pktRecvTotal > 0 || perf.pktRecvACKTotal > 0 || perf.pktRecvNAKTotal > 0;
}

bool TunnexSocketImpl::remoteSentData() {
    UDT::TRACEINFO perf{};
    if (UDT::perfmon(udtSocket(), &perf, false) == UDT::ERROR) return false;
    return perf.pktRecvTotal > 0;
}

size_t TunnexSocketImpl::unsentBytes() const {
    size_t total = 0;
    for (const Bytes& piece : unsent_) total += piece.size();
    return total - unsentOffset_;
}

std::optional<size_t> TunnexSocketImpl::pushToUDT(std::span<const uint8_t> bytes) {
    const int udt = udtSocket();
    if (udt == 0) {
        // Unregistered while sending: the bytes that did not go out are lost, so say so.
        KLLog(kKLTLoggingLevelDebug, "%s stopped: socket %u is no longer registered", "sendBytes", socketId_);
        shouldBeClosed_.store(true);
        return std::nullopt;
    }
    setOption(UDT_SNDTIMEO, 0);  // normally set already
    size_t offset = 0;
    while (offset < bytes.size()) {
        const int chunk = int(std::min(bytes.size() - offset, size_t(INT_MAX)));
        const int sent = UDT::send(udt, reinterpret_cast<const char*>(bytes.data() + offset), chunk, 0);
        if (sent > 0) {
            offset += size_t(sent);
            bytesWritten_.fetch_add(uint64_t(sent));
            continue;
        }
        Error failure = errorFromUDTErrorInfo(UDT::getlasterror());
        // A full window on a live channel is slowness, not failure: the rest waits for room.
        if (sent == 0 || udtSendFoundNoRoom(failure.code())) break;
        KLLog(kKLTLoggingLevelError, "Send on socket: %d resulted in error %d, '%s'", udt, int(failure.code()),
              failure.description().c_str());
        KLLog(kKLTLoggingLevelDebug, "%s failed send for socket: %d", "sendBytes:", udt);
        sendErrorFlag_.store(true);
        shouldBeClosed_.store(true);
        return std::nullopt;
    }
    return offset;
}

// Encrypts in place and hands UDT what it takes now; the rest is kept, after whatever already
// waits, so the stream stays in order.
bool TunnexSocketImpl::sendStep(std::span<uint8_t> bytes) {
    if (bytes.empty()) return true;
    auto delegate = this->delegate();
    if (!delegate || !delegate->encryptInPlace(bytes, streamEncryptor_)) {
        KLLog(kKLTLoggingLevelError, "Failed to encrypt data!");
        shouldBeClosed_.store(true);
        return false;
    }
    KLLog(kKLTLoggingLevelVerbose, "sending: %lu", static_cast<unsigned long>(bytes.size()));
    size_t taken = 0;
    if (unsent_.empty() && !sendsHeld()) {
        std::optional<size_t> sent = pushToUDT(bytes);
        if (!sent) return false;
        taken = *sent;
    }
    if (taken < bytes.size()) unsent_.emplace_back(bytes.begin() + std::ptrdiff_t(taken), bytes.end());
    return true;
}

bool TunnexSocketImpl::afterWrite(bool written) {
    if (written && !unsent_.empty()) suspendSends();
    return written;
}

void TunnexSocketImpl::suspendSends() {
    sendQueue_.suspend();
    watchForRoom();
}

void TunnexSocketImpl::watchForRoom() {
    sendsWatched_.store(true);
    if (!TunnexSocketManager::sharedInstance().watchSends(self())) {
        // The process is ending: nothing will find room any more.
        sendsWatched_.store(false);
        shouldBeClosed_.store(true);
    }
}

void TunnexSocketImpl::resumeSends() {
    if (!sendsWatched_.exchange(false)) return;
    flushMessages();
    if (!sendQueue_.isSuspended()) return;
    std::weak_ptr<TunnexSocketImpl> weak = self();
    sendQueue_.resume([weak] {
        if (auto socket = weak.lock()) socket->continueSending();
    });
}

void TunnexSocketImpl::continueSending() {
    if (shouldBeClosed_.load()) {
        if (!unsent_.empty()) {
            KLLog(kKLTLoggingLevelDebug, "%s dropped %lu unsent bytes of closing socket %u", "sendBytes",
                  static_cast<unsigned long>(unsentBytes()), socketId_);
        }
        unsent_.clear();
        unsentOffset_ = 0;
        return;
    }
    if (sendsHeld()) {
        suspendSends();
        return;
    }
    while (!unsent_.empty()) {
        const auto front = std::span<const uint8_t>(unsent_.front()).subspan(unsentOffset_);
        std::optional<size_t> sent = pushToUDT(front);
        if (!sent) {
            unsent_.clear();
            unsentOffset_ = 0;
            return;
        }
        if (*sent < front.size()) {
            unsentOffset_ += *sent;
            suspendSends();
            return;
        }
        unsent_.pop_front();
        unsentOffset_ = 0;
    }
    // A write that ran while this operation waited behind it counted it as more to come and
    // gathered its bytes: they go now.
    afterWrite(packer_.write({}, false, sendStepFunction_));
}

// Writes are gathered only while more wait behind them on the send queue; the last of a burst
// (or a lone one) sends at once whatever is gathered.
bool TunnexSocketImpl::sendBytes(std::span<const uint8_t> data) {
    if (shouldBeClosed_.load()) return false;
    const bool moreWaiting = !data.empty() && sendQueue_.isCurrent() && sendQueue_.operationCount() > 1;
    return afterWrite(packer_.write(data, moreWaiting, sendStepFunction_));
}

std::optional<bool> TunnexSocketImpl::sendNowIfIdle(std::span<const uint8_t> data) {
    if (data.size() > kSendNowLimit) return std::nullopt;
    bool sent = false;
    if (!sendQueue_.runNowIfIdle([&] { sent = sendBytes(data); })) return std::nullopt;
    return sent;
}

bool TunnexSocketImpl::sendOwnedBytes(std::span<uint8_t> data) {
    if (shouldBeClosed_.load()) return false;
    const bool moreWaiting = !data.empty() && sendQueue_.isCurrent() && sendQueue_.operationCount() > 1;
    return afterWrite(packer_.writeOwned(data, moreWaiting, sendStepFunction_));
}

// --- Closing ------------------------------------------------------------------------------------

namespace {

int32_t unsentBytes(int udtSocket) {
    int32_t unsent = 0;
    int length = sizeof unsent;
    if (UDT::getsockopt(udtSocket, 0, UDT_SNDDATA, &unsent, &length) == UDT::ERROR) return 0;
    return unsent;
}

// Closes the UDT socket once the remote has acknowledged everything it was sent: UDT's own close
// ends the connection then and there, cutting off whatever its send buffer still held (the tail
// of a large response on a slow path). Waits on a timer, never on the caller's thread, for as
// long as the remote keeps acknowledging; a remote that stops for kUnsentStallLimit is given up.
void closeWhenDelivered(int udtSocket, int32_t lastUnsent, std::chrono::steady_clock::time_point stalledSince) {
    const int32_t unsent = UDT::getsockstate(udtSocket) == CONNECTED ? unsentBytes(udtSocket) : 0;
    const auto now = std::chrono::steady_clock::now();
    if (unsent != lastUnsent) stalledSince = now;
    if (unsent > 0 && now - stalledSince < kUnsentStallLimit) {
        globalQueue().after(kUnsentCheckStep,
                            [udtSocket, unsent, stalledSince] { closeWhenDelivered(udtSocket, unsent, stalledSince); });
        return;
    }
    if (unsent > 0) KLLog(kKLTLoggingLevelError, "Closing socket %d with %d bytes unacknowledged", udtSocket, unsent);
    // Asynchronous sending makes UDT's close return at once instead of lingering (up to minutes),
    // and with its linger off UDT's collector lets the socket go at once too: the waiting for
    // delivery is done. A lingering socket would keep its UDP port, descriptor and two transport
    // threads for three minutes after every tunnel whose remote vanished.
    setBoolOption(udtSocket, UDT_SNDSYN, false);
    const linger off{0, 0};
    UDT::setsockopt(udtSocket, 0, UDT_LINGER, &off, sizeof off);
    UDT::close(udtSocket);
}

}  // namespace

void TunnexSocketImpl::closeUDTSocket(int udtSocket) {
    if (udtSocket == 0 || udtSocket == UDT::INVALID_SOCK) return;
    KLLog(kKLTLoggingLevelDebug, "TunnexSocketImpl - close on socket: %d", udtSocket);
    closeWhenDelivered(udtSocket, -1, std::chrono::steady_clock::now());
}

void TunnexSocketImpl::closeWhenSent(std::shared_ptr<void> keep) {
    std::weak_ptr<TunnexSocketImpl> weak = self();
    // Never on the send queue itself: close() waits for it.
    auto closeSoon = [weak, keep] {
        globalQueue().async([weak, keep] {
            if (auto socket = weak.lock()) socket->close();
        });
    };
    sendQueue_.addOperation([weak] {
        if (auto socket = weak.lock()) socket->sendBytes({});
    });
    // Runs only once everything before it went to UDT: a suspended queue holds it back.
    sendQueue_.addOperation(closeSoon, closeSoon);
}

void TunnexSocketImpl::close() {
    if (closeStarted_.exchange(true)) return;
    shouldBeClosed_.store(true);
    int noted = ownedUDTSocket_.load();
    SocketPtr local = localSocket();
    int localFd = sk_ossocket(local);
    KLLog(kKLTLoggingLevelDebug, "%s entered for socket: (local: %d UDT: %d)", "close", localFd, noted);
    auto me = self();
    TunnexSocketManager::sharedInstance().removeSocket(me);

    sendQueue_.cancelAllOperations();
    // A queue left suspended would hold back (and a waiter on) every operation added later.
    sendQueue_.resume();
    sendQueue_.waitUntilAllOperationsAreFinished();
    // A pass under way finishes the close when it ends, so the bytes it holds reach the local
    // socket first and no thread waits for it.
    if (!bridgeQueue_.isCurrent()) {
        std::lock_guard<std::mutex> guard(bridgeStateMutex_);
        if (passRunning_) {
            closeAwaitsPass_ = true;
            return;
        }
    }
    finishClose();
}

void TunnexSocketImpl::finishClose() {
    const int noted = ownedUDTSocket_.load();
    SocketPtr local = localSocket();
    const int localFd = sk_ossocket(local);
    closeUDTSocket(noted);

    std::shared_ptr<TunnexChannelOwner> owner;
    {
        std::lock_guard<std::mutex> guard(fieldsMutex_);
        owner = owner_.lock();
        localSocket_.reset();
    }
    if (owner) {
        owner->channelClosed();
    } else if (local) {
        // A bridge nobody owns: what was written into the local socket still goes out.
        SocketCoreLock lock;
        local->closeWhenDrained();
    }
    if (auto delegate = this->delegate()) delegate->closedSocket(self());
    KLLog(kKLTLoggingLevelDebug, "%s exited for socket: (local: %d UDT: %d)", "close", localFd, noted);
    KLLog(kKLTLoggingLevelVerbose, "On socket bytes read %lld, written %lld", static_cast<long long>(bytesRead()),
          static_cast<long long>(bytesWritten()));
}

}  // namespace kl

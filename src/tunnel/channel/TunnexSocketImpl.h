// A UDT tunnel socket: the tunnel's main channel (message mode: control messages, not passed
// through the delegate) or one of its data channels (stream mode, bridged to a socket-core TCP
// connection, every byte passed through the delegate's encryption).
//
// Data channel, the two directions:
//  - local to tunnel: the local socket's owner hands each read to sendBytes() on the socket's send
//    queue; writes that find more queued behind them are gathered (TunnexSendPacker), the last
//    one sends what was gathered, encrypted in place in the packer's buffer. UDT sends never
//    wait: what its window cannot take stays in the socket (in order), the send queue is
//    suspended, and the socket manager's loop resumes it once UDT has room. While the queue is
//    suspended the owner's writes pile up on it, which is what freezes the local connection.
//    A send hold (holdSendsUntil) is the same state: the loop resumes the sends once the remote
//    is heard or the hold ends.
//  - tunnel to local: when the socket manager sees UDT data it enqueues a bridge pass on the
//    bridge queue; a pass receives what UDT holds (up to 2 MiB), decrypts it and writes it into
//    the local socket under the core lock. A pass that leaves the local socket's backlog over its
//    limit pauses the bridge: no pass reads UDT until the socket's room callback, so UDT's flow
//    control slows the remote down instead of the backlog growing without bound, and no thread
//    waits meanwhile.
//
// Main channel: sendMessage() waits up to its time-out (short sends on the peer's queue);
// sendMessageWithin() never waits: a message UDT has no room for waits in the socket until the
// loop finds room or its limit passes.
//
// Closing: anyone may mark the socket (isClosed()); the mark is sticky. close() runs once: it
// unregisters the socket, cancels waiting sends (releasing their waiters; bytes still in the
// socket are dropped), then (at once, or at the end of a bridge pass under way on another thread)
// closes the UDT socket once UDT has delivered what it holds, lets go of the local socket and
// reports upward: to its owner (the forwarded connection, which closes the local socket itself)
// or, with no owner, by closing the local socket once its output is written; then to the
// delegate. closeWhenSent() is the orderly end: the close waits, as a queued operation, until
// every byte went to UDT.
#pragma once

#include <udt/udt.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "tunnel/TunnexResult.h"
#include "tunnel/peer/TunnexOperationQueue.h"
#include "tunnel/channel/TunnexChannelOwner.h"
#include "tunnel/channel/TunnexSendPacker.h"
#include "tunnel/channel/TunnexSocket.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

class TunnexServiceConnector;

// The length of a receiver's stall in the send tests (sends themselves never wait in UDT).
inline constexpr int kDataChannelSendTimeoutMs = 500;
inline constexpr double kBridgeReceiveTimeout = 0.5;
// The largest write sendNowIfIdle() takes: interactive traffic, not bulk (whose encryption
// belongs on the send queue, off the caller's thread).
inline constexpr size_t kSendNowLimit = 16 * 1024;

class TunnexSocketImpl final : public TunnexSocket {
public:
    // A socket for the UDT socket udtSocket (0: none yet; set it with setUDTSocket()).
    static std::shared_ptr<TunnexSocketImpl> create(int udtSocket = 0);
    ~TunnexSocketImpl() override;

    double bandwidthInmbps() override;
    bool sendBytes(std::span<const uint8_t> data) override;
    // sendBytes() for bytes the caller gives up: a long piece is encrypted and sent where it lies.
    bool sendOwnedBytes(std::span<uint8_t> data);
    // A small write sent at once from the caller's thread (no hop through the send queue) when
    // nothing is queued or waiting to be sent; what sendBytes() returned, or nothing when the
    // write must be queued. Never waits (UDT sends never do).
    std::optional<bool> sendNowIfIdle(std::span<const uint8_t> data);
    std::optional<Bytes> recvBytes(uint64_t maxLength, double timeout, Error* error) override;
    uint64_t sendMessage(const Bytes& data, double timeout, Error* error) override;
    void sendMessageWithin(Bytes data, double limitSeconds, std::function<void(bool)> done) override;
    std::optional<Bytes> recvMessage(double timeout, Error* error) override;
    std::optional<Bytes> recvNonBlocking(Error* error) override;
    void setBlocking(bool blocking) override;
    bool isBridgeClosed() override;
    bool isClosed() const override { return shouldBeClosed_.load(); }
    void close() override;
    // The orderly end: closes (on the global pool) once what is queued to send went to UDT.
    // keep (if any) is held until the close has run.
    void closeWhenSent(std::shared_ptr<void> keep = {});

    // Bridges a live local connection (the answering side of a forward).
    void bridgeToSocket(const SocketPtr& local);
    // Bridges an accepted local connection that the core holds frozen, unfreezing it once the
    // socket is registered (the requesting side of a forward).
    void bridgeToFrozenSocket(const SocketPtr& local);
    // Queues a bridge pass unless one waits or runs; true when it queued one.
    bool enqueueBridge();
    // One bridge pass; true when it moved bytes into the local socket.
    bool performBridge();

    bool sendErrorFlag() const override { return sendErrorFlag_.load(); }
    TunnexOperationQueue& sendOperationQueue() override { return sendQueue_; }
    TunnexOperationQueue& bridgeOperationQueue() { return bridgeQueue_; }
    std::mutex& socketLock() override { return socketLock_; }

    // The UDT socket as registered; 0 once the socket manager has unregistered it.
    int udtSocket() const { return udtSocket_.load(); }
    void setUDTSocket(int udtSocket);
    // Holds the channel's sends until the given moment, or until the remote end is heard on it
    // (see TunnexChannelPairing).
    void holdSendsUntil(std::chrono::steady_clock::time_point moment);
    // True while a hold keeps this socket's sends back (ends it once the remote is heard).
    bool sendsHeld();
    // For the socket manager's loop: UDT has room, a hold or a message's limit ended, or the
    // socket broke. Resumes the suspended sends and retries waiting messages.
    void resumeSends();
    // Data waits in the socket for room in UDT (the send queue is suspended).
    bool dataWaiting() const { return sendQueue_.isSuspended(); }
    // Encrypted bytes waiting in the socket for room in UDT. Send queue only.
    size_t unsentBytes() const;
    // Any packet of the remote end has arrived: its socket has completed the connection.
    bool remoteComplete();
    // Data of the remote end has arrived.
    bool remoteSentData();
    uint32_t socketId() const { return socketId_; }
    uint64_t bytesWritten() const { return bytesWritten_.load(); }
    uint64_t bytesRead() const { return bytesRead_.load(); }
    // The local socket the bridge writes into; the channel drops it when it closes.
    SocketPtr localSocket() const;
    void setLocalSocket(SocketPtr local);
    // The connection that owns this channel and hears of its close (held weakly).
    void setOwner(std::weak_ptr<TunnexChannelOwner> owner);
    bool shouldBeClosed() const { return shouldBeClosed_.load(); }
    void setShouldBeClosed(bool closed) { shouldBeClosed_.store(closed); }
    std::shared_ptr<TunnexServiceConnector> serviceListener() const;
    void setServiceListener(std::shared_ptr<TunnexServiceConnector> listener);

private:
    explicit TunnexSocketImpl(int udtSocket);
    std::shared_ptr<TunnexSocketImpl> self() { return std::static_pointer_cast<TunnexSocketImpl>(shared_from_this()); }

    bool sendStep(std::span<uint8_t> bytes);
    void awaitLocalRoom(const SocketPtr& local);
    // Sends take what UDT has room for and never wait (a zero send time-out).
    void setSendsNonBlocking();
    // Hands bytes to UDT without waiting; how many it took, none on failure (socket marked).
    std::optional<size_t> pushToUDT(std::span<const uint8_t> bytes);
    // On the send queue: what a write left unsent makes the queue wait for the loop.
    bool afterWrite(bool written);
    // First operation after a resume: sends what waits in the socket.
    void continueSending();
    // On the send queue: suspends it and asks the loop to resume it.
    void suspendSends();
    // Asks the socket manager's loop to call resumeSends() when there is reason to.
    void watchForRoom();
    // Sends the waiting messages that UDT takes now; fails those past their limit.
    void flushMessages();
    void runBridgePasses();
    bool udtHasData();
    // Receives into the socket's reusable buffer (grown to length); the count or UDT's error (logged).
    TunnexResult<int> receiveInto(size_t length, bool message, const char* caller);
    // The received message counted and copied out of the buffer.
    TunnexResult<Bytes> takeReceived(const TunnexResult<int>& received);
    // One stream receive decrypted in place in the receive buffer; the count, UDT's error, or a
    // Cipher error when the bytes did not decrypt (the socket is then marked to close). Under
    // receiveMutex_.
    TunnexResult<int> receiveDecrypted(uint64_t maxLength, double timeout);
    void closeUDTSocket(int udtSocket);
    // close()'s second half: the UDT socket, the local socket and the delegate.
    void finishClose();
    // Sets a UDT option of the socket unless it already has that value (bools as 0 and 1).
    void setOption(UDTOpt option, int value);

    const uint32_t socketId_;
    std::atomic<int> udtSocket_;
    std::atomic<int> ownedUDTSocket_;  // the UDT socket this object closes, whatever the table did
    std::atomic<bool> shouldBeClosed_{false};
    std::atomic<std::chrono::steady_clock::time_point> sendsHeldUntil_{};
    std::atomic<bool> sendErrorFlag_{false};
    std::atomic<bool> sendsWatched_{false};  // the socket manager will call resumeSends()
    std::atomic<bool> bridgeScheduled_{false};
    std::atomic<bool> awaitingLocalRoom_{false};  // the bridge pauses until the local socket has room
    std::atomic<bool> closeStarted_{false};
    std::atomic<uint64_t> bytesWritten_{0};
    std::atomic<uint64_t> bytesRead_{0};

    TunnexOperationQueue sendQueue_;
    TunnexOperationQueue bridgeQueue_;
    std::mutex socketLock_;

    // Used only on the send queue.
    TunnexStreamCipher streamEncryptor_;
    TunnexSendPacker packer_;
    const TunnexSendPacker::SendStep sendStepFunction_ = [this](std::span<uint8_t> bytes) { return sendStep(bytes); };
    std::deque<Bytes> unsent_;  // encrypted, in order, what UDT had no room for
    size_t unsentOffset_ = 0;   // already sent of unsent_.front()

    // One message send at a time: its UDT options and the send go together.
    std::mutex messageMutex_;
    struct WaitingMessage {
        Bytes data;
        std::chrono::steady_clock::time_point limit;
        std::function<void(bool)> done;
    };
    mutable std::mutex waitingMutex_;
    std::deque<WaitingMessage> waitingMessages_;  // guarded by waitingMutex_
    // Used by one receiving queue at a time (bridge queue or the main channel's reader).
    std::mutex receiveMutex_;
    TunnexStreamCipher streamDecryptor_;  // guarded by receiveMutex_
    std::unique_ptr<char[]> receiveBuffer_;  // guarded by receiveMutex_
    size_t receiveBufferSize_ = 0;           // guarded by receiveMutex_

    // The option values last given to UDT, for the UDT socket they were given to.
    std::mutex optionsMutex_;
    int optionsSocket_ = 0;              // guarded by optionsMutex_
    std::map<UDTOpt, int> optionValues_;  // guarded by optionsMutex_

    std::mutex bridgeStateMutex_;
    bool passRunning_ = false;      // guarded by bridgeStateMutex_
    bool closeAwaitsPass_ = false;  // close() left its second half to the running pass; same guard

    mutable std::mutex fieldsMutex_;
    SocketPtr localSocket_;                                  // guarded by fieldsMutex_
    std::weak_ptr<TunnexChannelOwner> owner_;                  // guarded by fieldsMutex_
    std::shared_ptr<TunnexServiceConnector> serviceListener_;  // guarded by fieldsMutex_
};

}  // namespace kl

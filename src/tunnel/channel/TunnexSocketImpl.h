// A UDT tunnel socket: the tunnel's main channel (message mode: control messages, not passed
// through the delegate) or one of its data channels (stream mode, bridged to a socket-core TCP
// connection, every byte passed through the delegate's encryption).
//
// Data channel, the two directions:
//  - local to tunnel: the local socket's owner hands each read to sendBytes() on the socket's send
//    queue; writes that find more queued behind them are gathered (TunnexSendPacker), the last
//    one sends what was gathered, encrypted in place in the packer's buffer.
//  - tunnel to local: when the socket manager sees UDT data it enqueues a bridge pass on the
//    bridge queue; a pass receives what UDT holds (up to 2 MiB), decrypts it and writes it into
//    the local socket under the core lock. A pass that leaves the local socket's backlog over its
//    limit pauses the bridge: no pass reads UDT until the socket's room callback, so UDT's flow
//    control slows the remote down instead of the backlog growing without bound, and no thread
//    waits meanwhile.
//
// Closing: anyone may mark the socket (isClosed()); the mark is sticky. close() runs once: it
// unregisters the socket, cancels waiting sends (releasing their waiters), then (at once, or at
// the end of a bridge pass under way on another thread) closes the UDT socket without lingering,
// lets go of the local socket and reports upward: to its owner (the forwarded connection, which
// closes the local socket itself) or, with no owner, by closing the local socket once its output
// is written; then to the delegate.
#pragma once

#include <udt/udt.h>

#include <atomic>
#include <chrono>
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

inline constexpr int kDataChannelSendTimeoutMs = 500;
inline constexpr double kBridgeReceiveTimeout = 0.5;

class TunnexSocketImpl final : public TunnexSocket {
public:
    // A socket for the UDT socket udtSocket (0: none yet; set it with setUDTSocket()).
    static std::shared_ptr<TunnexSocketImpl> create(int udtSocket = 0);
    ~TunnexSocketImpl() override;

    double bandwidthInmbps() override;
    bool sendBytes(std::span<const uint8_t> data) override;
    // sendBytes() for bytes the caller gives up: a long piece is encrypted and sent where it lies.
    bool sendOwnedBytes(std::span<uint8_t> data);
    std::optional<Bytes> recvBytes(uint64_t maxLength, double timeout, Error* error) override;
    uint64_t sendMessage(const Bytes& data, double timeout, Error* error) override;
    std::optional<Bytes> recvMessage(double timeout, Error* error) override;
    std::optional<Bytes> recvNonBlocking(Error* error) override;
    void setBlocking(bool blocking) override;
    bool isBridgeClosed() override;
    bool isClosed() const override { return shouldBeClosed_.load(); }
    void close() override;

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
    void runBridgePasses();
    bool udtHasData();
    // Receives into the socket's reusable buffer (grown to length); the count or UDT's error (logged).
    TunnexResult<int> receiveInto(size_t length, bool message, const char* caller);
    // The received message counted and copied out of the buffer.
    TunnexResult<Bytes> takeReceived(const TunnexResult<int>& received);
    // One stream receive decrypted in place in the receive buffer; the count or -1. Under
    // receiveMutex_.
    int receiveDecrypted(uint64_t maxLength, double timeout, Error* error);
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

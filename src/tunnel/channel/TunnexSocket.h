// A channel of a tunnel: the interface of every UDT tunnel socket (see TunnexSocketImpl).
//
// The socket holds its delegate weakly. Until an owner sets another it is the socket's own
// pass-through encryptor, so a socket always has one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "platform/Error.h"
#include "platform/Value.h"
#include "tunnel/channel/TunnexSocketDelegate.h"

namespace kl {

class TunnexDummyEncryptor;
class TunnexOperationQueue;

class TunnexSocket : public std::enable_shared_from_this<TunnexSocket> {
public:
    TunnexSocket();
    virtual ~TunnexSocket();
    TunnexSocket(const TunnexSocket&) = delete;
    TunnexSocket& operator=(const TunnexSocket&) = delete;

    // Data channel: packs, encrypts and sends; an empty span flushes what waits. Only on the
    // socket's send queue. False when the socket is closing or the send failed.
    virtual bool sendBytes(std::span<const uint8_t> data) = 0;
    // Data channel: one receive of at most maxLength plain bytes within timeout seconds.
    virtual std::optional<Bytes> recvBytes(uint64_t maxLength, double timeout, Error* error) = 0;
    // UDT's estimate of the link's bandwidth in Mb/s.
    virtual double bandwidthInmbps() { return 0.0; }
    // True when the UDT connection is gone.
    virtual bool isBridgeClosed() = 0;
    // True once the socket is marked to be closed.
    virtual bool isClosed() const = 0;
    // Ends the channel; the body runs once whoever calls it. Not from the send queue's operations.
    virtual void close() = 0;
    // Main channel: sends one message within timeout seconds; the count sent, 0 on failure.
    virtual uint64_t sendMessage(const Bytes& data, double timeout, Error* error) = 0;
    // Main channel: sends one message without holding the caller's thread. done(true) once UDT
    // took it, done(false) when the channel failed or limitSeconds passed without room; done runs
    // once, on the global pool.
    virtual void sendMessageWithin(Bytes data, double limitSeconds, std::function<void(bool)> done) = 0;
    // Main channel: one message within timeout seconds.
    virtual std::optional<Bytes> recvMessage(double timeout, Error* error) = 0;
    // Main channel: one message as the socket's blocking mode allows.
    virtual std::optional<Bytes> recvNonBlocking(Error* error) = 0;
    // Whether receives wait for data (false: they return at once when nothing is waiting).
    virtual void setBlocking(bool blocking) = 0;

    virtual bool sendErrorFlag() const = 0;
    virtual TunnexOperationQueue& sendOperationQueue() = 0;
    // A plain lock for the socket's owners; the socket itself never takes it. An owner holds it
    // only around its own steps, never across a call into the socket or out to a delegate.
    virtual std::mutex& socketLock() = 0;

    std::shared_ptr<TunnexSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<TunnexSocketDelegate> delegate);
    // Data an owner attaches; the socket does not use it.
    Bytes tag() const;
    void setTag(Bytes tag);

private:
    std::shared_ptr<TunnexDummyEncryptor> dummy_;
    mutable std::mutex fieldsMutex_;
    std::weak_ptr<TunnexSocketDelegate> delegate_;  // guarded by fieldsMutex_
    Bytes tag_;                                     // guarded by fieldsMutex_
};

}  // namespace kl

// One forwarded TCP connection joined to its data channel: a client accepted on a forward's
// listener (the requesting side) or the connection made to the named host (the answering side).
//
// Ownership: the peer's channel table owns the connection; the connection owns its local socket,
// the socket's plug record and its data channel. The core holds the plug weakly, and the plug and
// the channel hold the connection weakly: they only report upward.
//
// Closing flows one way, whichever end starts it (the local end or failure, the channel's end
// after the remote closed or the channel broke, the remote's close notice, the tunnel's
// teardown): stop reading the local socket; send what the local client wrote before its end;
// close the channel (it waits for its sends and hands its UDT socket to the delivery wait); close
// the local socket once what the channel wrote into it is written; leave the peer's table (which
// tells the remote and counts the connection off the main channel). Each step runs once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "tunnel/channel/TunnexChannelOwner.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

class PFwdPrivate;
class TunnexPeer;
class TunnexSocketImpl;

// Bytes handed to a data channel's send queue but not yet sent, above which the local connection
// is frozen until the channel catches up (the tunnel's back-pressure onto the local client).
inline constexpr int64_t kPFwdPendingLimit = 1 << 20;
inline constexpr int64_t kPFwdPendingResume = kPFwdPendingLimit / 2;

class TunnexForwardedConnection final : public TunnexChannelOwner,
                                        public std::enable_shared_from_this<TunnexForwardedConnection> {
    struct Private {};

public:
    enum class Side { Requesting, Answering };

    // A connection for channel whose local socket comes with attach(). The channel reports its
    // close here from now on.
    static std::shared_ptr<TunnexForwardedConnection> create(Side side, const std::shared_ptr<TunnexPeer>& peer,
                                                             std::shared_ptr<TunnexSocketImpl> channel,
                                                             std::string hostname, uint16_t port);
    TunnexForwardedConnection(Private, Side side, const std::shared_ptr<TunnexPeer>& peer,
                              std::shared_ptr<TunnexSocketImpl> channel, std::string hostname, uint16_t port);
    ~TunnexForwardedConnection() override;

    // The local socket's owner in the core (pass it to new_connection, or to socket->plug()).
    std::shared_ptr<Plug> plug() const;
    // Takes the local socket. Under the core lock, before the core can report anything on it.
    void attach(SocketPtr local);
    // Starts the channel's bridge into the local socket: an accepted (frozen) one is unfrozen.
    void bridge();

    // Bytes read from the local socket, for the channel (the plug's receive, under the core lock).
    void sendFromLocal(const char* data, int len);
    // The local connection ended (the plug's closing): errorCode 0 for an orderly end of stream.
    void localEnded(int errorCode);
    // Ends the connection from outside (the tunnel's teardown, pfd_close): nothing more is read
    // or sent, what the channel wrote into the local socket still goes out. Under the core lock.
    void close();
    // TunnexChannelOwner: the channel closed, by this connection or on its own.
    void channelClosed() override;

    Side side() const { return side_; }
    const std::string& hostname() const { return hostname_; }
    uint16_t port() const { return port_; }
    const std::shared_ptr<TunnexSocketImpl>& channel() const { return channel_; }
    std::shared_ptr<TunnexPeer> peer() const { return peer_.lock(); }
    SocketPtr localSocket() const;

private:
    enum class State { Open, Closing, Closed };
    enum class Start { LocalEnd, Abort };

    // Leaves Open; false when the close had already begun.
    bool beginClosing();
    void stopReadingLocal();  // under the core lock
    void closeChannel(Start start);
    // Closes the local socket and leaves the table, once, after the channel closed.
    void finish();
    void resumeIfDrained();

    const Side side_;
    const std::string hostname_;
    const uint16_t port_;
    // Weak: the peer owns its connections, never the other way round.
    const std::weak_ptr<TunnexPeer> peer_;
    const std::shared_ptr<TunnexSocketImpl> channel_;
    std::shared_ptr<PFwdPrivate> plug_;  // set by create(), before the connection is shared

    mutable std::mutex mutex_;
    State state_ = State::Open;  // guarded by mutex_
    SocketPtr local_;            // guarded by mutex_

    // Bytes queued on the channel and not yet sent; shared with the queued sends.
    const std::shared_ptr<std::atomic<int64_t>> pending_ = std::make_shared<std::atomic<int64_t>>(0);
    bool frozenForChannel_ = false;  // guarded by the core lock
};

}  // namespace kl

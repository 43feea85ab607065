// src/tunnel/forward: forwarded ports: local listeners and connections bridged to data channels.
//
// A forwarded port's owner in the socket core: the record behind a forward's listener, behind each
// local connection accepted on it, and behind the answering side's outgoing connection. Its plug
// callbacks turn core events into tunnel operations: an accepted client becomes a channel request,
// bytes read from the local connection go to the data channel, the end of the local connection
// closes the channel, and a refused connection on the answering side becomes a failed result.
//
// Ownership: the core holds plugs weakly, so a record keeps itself alive while its socket is open;
// pfd_close() ends both. Every field is guarded by the core lock (the callbacks run under it, and
// everyone else takes it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/sockcore/Socket.h"

namespace kl {

class TunnexChannelRequest;
class TunnexForwardManagerLink;
class TunnexPeer;
class TunnexRemotePeer;
class TunnexServiceConnector;
class TunnexSocketImpl;

// Host names are carried in a 256-byte zero-terminated field.
inline constexpr size_t kPFwdHostnameLimit = 256;
// Bytes handed to a data channel's send queue but not yet sent, above which the local connection
// is frozen until the channel catches up (the tunnel's back-pressure onto the local client).
inline constexpr int64_t kPFwdPendingLimit = 1 << 20;
inline constexpr int64_t kPFwdPendingResume = kPFwdPendingLimit / 2;

class PFwdPrivate final : public Plug, public std::enable_shared_from_this<PFwdPrivate> {
    struct Private {};

public:
    enum class Role { Listener, Accepted, Answering };

    static std::shared_ptr<PFwdPrivate> create(Role role);
    PFwdPrivate(Private, Role role) : role(role) {}

    // Plug.
    void log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) override;
    int closing(const char* errorText, int errorCode, int callingBack) override;
    int receive(int urgent, const char* data, int len) override;
    void sent(int) override {}
    int accepting(int fd) override;

    // Makes the record the owner of socket s for as long as s is open.
    void attach(const SocketPtr& socket);

    const Role role;
    std::shared_ptr<TunnexSocketImpl> channel;
    // Weak: the peer owns its forwards' channels, never the other way round.
    std::weak_ptr<TunnexPeer> peer;
    std::shared_ptr<TunnexRemotePeer> remotePeer;
    std::shared_ptr<TunnexServiceConnector> serviceConnector;
    // The manager that serves the forward (its peer's when the listener was made).
    std::weak_ptr<TunnexForwardManagerLink> manager;
    SocketPtr s;
    bool ready = false;
    std::string hostname;
    int port = 0;

private:
    friend void pfd_close(const SocketPtr& socket);
    friend int pfd_receive(PFwdPrivate& record, int urgent, const char* data, int len);
    friend int pfd_closing(PFwdPrivate& record, const char* errorText, int errorCode, int callingBack);
    friend void pfd_log(PFwdPrivate& record, int type, const SockAddrPtr& addr, int port, const char* errorText,
                        int errorCode);
    void resumeIfDrained();

    std::shared_ptr<PFwdPrivate> keepAlive_;
    // Bytes queued on the channel and not yet sent; shared with the queued sends.
    std::shared_ptr<std::atomic<int64_t>> pending_ = std::make_shared<std::atomic<int64_t>>(0);
    bool frozenForChannel_ = false;
    bool endQueued_ = false;
    bool refused_ = false;
};

// The callbacks by their own names (the Plug overrides call them).
int pfd_accepting(PFwdPrivate& record, int fd);
int pfd_receive(PFwdPrivate& record, int urgent, const char* data, int len);
int pfd_closing(PFwdPrivate& record, const char* errorText, int errorCode, int callingBack);
void pfd_log(PFwdPrivate& record, int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode);
// Ends a forwarded connection or a listener: tells the peer, releases and closes the channel,
// closes the core socket once its queued output is written, and frees the record. Safe from any
// thread; a second call does nothing. A socket that no record owns is simply closed.
void pfd_close(const SocketPtr& socket);

// The channel-creation block of a request accepted on a forwarded port: sends the open-forward
// message, opens the data channel and bridges the waiting connection to it. 0 when the forward
// runs, 1 when it failed (the waiting connection is then closed).
void pfdCreateChannel(const std::shared_ptr<TunnexChannelRequest>& request, TunnexChannelRequest::ChannelBlockDone done);

}  // namespace kl

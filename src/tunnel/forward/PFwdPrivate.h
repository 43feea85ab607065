// src/tunnel/forward: forwarded ports: local listeners and connections bridged to data channels.
//
// A forwarded port's owner in the socket core: the record behind a forward's listener, behind each
// local connection accepted on it, and behind the answering side's outgoing connection. Its plug
// callbacks turn core events into tunnel operations: an accepted client becomes a channel request,
// bytes read from the local connection go to the data channel, the end of the local connection
// closes the channel, and a refused connection on the answering side becomes a failed result.
//
// Ownership: the core holds plugs weakly. A listener's record is owned by the peer's entry for
// its forward; a connection's record by its TunnexForwardedConnection, which it reaches weakly
// and only reports to. A listener's fields are guarded by the core lock (the callbacks run under
// it, and everyone else takes it once around the step; attach() requires it).
#pragma once

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
class TunnexForwardedConnection;

// Host names are carried in a 256-byte zero-terminated field.
inline constexpr size_t kPFwdHostnameLimit = 256;

class PFwdPrivate final : public Plug {
    struct Private {};

public:
    enum class Role { Listener, Accepted, Answering };

    // A listener's record.
    static std::shared_ptr<PFwdPrivate> create(Role role);
    // A connection's record, reporting to its connection.
    static std::shared_ptr<PFwdPrivate> create(Role role, std::weak_ptr<TunnexForwardedConnection> connection);
    PFwdPrivate(Private, Role role, std::weak_ptr<TunnexForwardedConnection> connection)
        : role(role), connection(std::move(connection)) {}

    // Plug.
    void log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) override;
    int closing(const char* errorText, int errorCode, int callingBack) override;
    int receive(int urgent, const char* data, int len) override;
    void sent(int) override {}
    int accepting(int fd) override;

    // Makes a listener's record the owner of its listening socket.
    void attach(const SocketPtr& socket);

    const Role role;
    // A listener's forward.
    // Weak: the peer owns its forwards, never the other way round.
    std::weak_ptr<TunnexPeer> peer;
    std::shared_ptr<TunnexRemotePeer> remotePeer;
    std::shared_ptr<TunnexServiceConnector> serviceConnector;
    // The manager that serves the forward (its peer's when the listener was made).
    std::weak_ptr<TunnexForwardManagerLink> manager;
    SocketPtr s;
    std::string hostname;
    int port = 0;
    // A connection's owner.
    const std::weak_ptr<TunnexForwardedConnection> connection;

private:
    friend int pfd_closing(PFwdPrivate& record, const char* errorText, int errorCode, int callingBack);
    friend void pfd_log(PFwdPrivate& record, int type, const SockAddrPtr& addr, int port, const char* errorText,
                        int errorCode);
    // Set on the select thread when an attempt was refused.
    bool refused_ = false;
};

// The callbacks by their own names (the Plug overrides call them).
int pfd_accepting(PFwdPrivate& record, int fd);
int pfd_receive(PFwdPrivate& record, int urgent, const char* data, int len);
int pfd_closing(PFwdPrivate& record, const char* errorText, int errorCode, int callingBack);
void pfd_log(PFwdPrivate& record, int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode);
// Ends a forwarded connection (through its TunnexForwardedConnection) or a listener (closed, its
// record let go). A second call does nothing. A socket that no record owns (a connection still
// waiting for its channel) is closed once its queued output is written. pfd_close takes the core
// lock (any thread outside a result pass); pfd_closeLocked is for a caller that holds it.
void pfd_close(const SocketPtr& socket);
void pfd_closeLocked(const SocketPtr& socket);

// The channel-creation block of a request accepted on a forwarded port: sends the open-forward
// message, opens the data channel and bridges the waiting connection to it. 0 when the forward
// runs, 1 when it failed (the waiting connection is then closed).
void pfdCreateChannel(const std::shared_ptr<TunnexChannelRequest>& request, TunnexChannelRequest::ChannelBlockDone done);

}  // namespace kl

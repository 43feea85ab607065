// The interfaces through which a tunnel peer tells its owners what happened. The daemon
// implements them; the tunnel library holds them weakly and never includes daemon code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kl {

class TunnexPeer;
class TunnexRemotePeer;
struct ForwardSuccessResult;  // the main channel's forward-result message

// Connection events of one peer. May be called from any tunnel thread. Remote records passed to
// the failure and disconnect calls may be empty.
class TunnexPeerDelegate {
public:
    virtual ~TunnexPeerDelegate() = default;

    virtual void tunnexPeerDidConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                    const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    virtual void tunnexPeerFailedToConnectWithRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                         const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    virtual void tunnexPeerDisconnectedFromRemotePeer(const std::shared_ptr<TunnexPeer>& peer,
                                                      const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // The remote side's answer to a forward request.
    virtual void tunnexPeerPortForwardResult(const std::shared_ptr<TunnexPeer>& peer, const ForwardSuccessResult& result,
                                             const std::shared_ptr<TunnexRemotePeer>& remotePeer) = 0;
    // Sent at the end of a peer's teardown; ignoring it is the default.
    virtual void peerDidDismantle(const std::shared_ptr<TunnexPeer>& peer) {}
};

// Progress stages of a connection: the stage's name, a fraction from 0.0 to 1.0 and its number.
class TunnexPeerProgressDelegate {
public:
    virtual ~TunnexPeerProgressDelegate() = default;
    virtual void connectStage(const std::string& stageName, float stagePercent, int32_t stage) = 0;
};

// Events of the registration with the rendezvous server; ignoring them is the default.
class TunnexPeerInviteDelegate {
public:
    virtual ~TunnexPeerInviteDelegate() = default;
    virtual void didReceiveInvite() {}
    // Performed on the main loop without waiting.
    virtual void pingDidTimeOut() {}
};

}  // namespace kl

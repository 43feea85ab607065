// The layers above the datagram dispatcher: the hole-punch handshake (its senders, the punching
// started by an invitation and the completion of a connection) and the main channel. The peer
// classifies and checks what arrives and hands the work to the layer installed here; until a layer
// is installed the work is logged and dropped, and no connection is ever reported. Each context
// (TunnexContext.h) holds its layer; the functions below are the default context's slot.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>

#include "platform/Value.h"
#include "tunnel/TunnexResult.h"

namespace kl {

class KLNetSocket;
class TunnexPeer;
class TunnexRemotePeer;
class TunnexTransaction;

// Called on the peer's queue (the peer's own lock may be held), except where said.
class TunnexPeerConnectionLayer {
public:
    virtual ~TunnexPeerConnectionLayer() = default;

    // An invitation was accepted: punch toward the remote of the transaction. Returns at once; the
    // attempt runs on the peer's queue.
    virtual void connectWithTransaction(const std::shared_ptr<TunnexPeer>& peer,
                                        const std::shared_ptr<TunnexTransaction>& transaction) = 0;
    // The answers of the dispatcher, sent through socket.
    virtual void helloSocket(const std::shared_ptr<KLNetSocket>& socket, const std::shared_ptr<TunnexRemotePeer>& remote,
                             const sockaddr_in& to, bool originator) = 0;
    virtual void confirmSocket(const std::shared_ptr<KLNetSocket>& socket,
                               const std::shared_ptr<TunnexRemotePeer>& remote, const sockaddr_in& to) = 0;
    // transaction may be empty (the sender logs and skips it).
    virtual void ahoySocket(const std::shared_ptr<KLNetSocket>& socket,
                            const std::shared_ptr<TunnexTransaction>& transaction) = 0;
    virtual void acknowledgeSocket(const std::shared_ptr<KLNetSocket>& socket,
                                   const std::shared_ptr<TunnexTransaction>& transaction, uint16_t type) = 0;
    // A path is confirmed: hand the peer's socket to the reliable transport.
    virtual void dispatchCompleteConnectionWithPeer(const std::shared_ptr<TunnexPeer>& peer,
                                                    const std::shared_ptr<TunnexRemotePeer>& remote) = 0;
    // Ends the connection attempt with the handle.
    virtual void cancelConnection(const std::shared_ptr<TunnexPeer>& peer, uint64_t connectionHandle) = 0;
    // Sends a message on the peer's main channel with a 10-second time-out. Also called from a
    // datagram forward's loop thread.
    virtual TunnexResult<void> sendMainChannelMessage(const std::shared_ptr<TunnexPeer>& peer,
                                                      const Bytes& message) = 0;
};

std::shared_ptr<TunnexPeerConnectionLayer> tunnexPeerConnectionLayer();
void setTunnexPeerConnectionLayer(std::shared_ptr<TunnexPeerConnectionLayer> layer);

}  // namespace kl

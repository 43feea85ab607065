// What the socket manager asks of the owner of a main channel (the tunnel peer). The manager
// finds it through the channel's delegate, so it holds it only as weakly as the socket does.
#pragma once

#include <memory>

namespace kl {

class TunnexSocket;

class TunnexMainChannelListener {
public:
    virtual ~TunnexMainChannelListener() = default;

    // The owner's current main channel; a socket whose delegate is this listener but which is not
    // its main channel is treated as a data channel.
    virtual std::shared_ptr<TunnexSocket> mainChannel() const = 0;
    // Reads and handles one control message of the readable main channel, on the manager's poll
    // thread; false when the read failed and the channel is finished.
    virtual bool performMainChannelListen() = 0;
    // Takes the tunnel down (the main channel's connection is gone or UDT failed).
    virtual void disconnectFromPeers() = 0;
    // Takes the tunnel down because the remote stopped answering (not at anyone's request).
    virtual void mainChannelLost() { disconnectFromPeers(); }
    // Sends the remote something it acknowledges (a life check): asked for when nothing was heard
    // from the remote for a while, so that a live remote is heard again.
    virtual void probeMainChannel() {}
};

}  // namespace kl

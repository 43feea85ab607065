// What a data channel tells the connection that owns it. The channel holds its owner weakly and
// only reports upward: the owner decides what else ends with the channel.
#pragma once

namespace kl {

class TunnexChannelOwner {
public:
    virtual ~TunnexChannelOwner() = default;
    // The channel's close() has run (its sends ended, its UDT socket handed to the delivery wait).
    // Called once, on the thread that closed it, with no lock of the channel held.
    virtual void channelClosed() = 0;
};

}  // namespace kl

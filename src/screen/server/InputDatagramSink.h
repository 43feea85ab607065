// Where the screen server hands every datagram that arrives on its input sideband socket.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <span>

namespace kl {

class InputDatagramSink {
public:
    virtual ~InputDatagramSink() = default;
    // Called on the input socket's reader thread, one call per datagram, with the sender's address.
    virtual void handleInputDatagram(std::span<const uint8_t> datagram, const sockaddr_storage& from, socklen_t fromLength) = 0;
    // The viewer connection changed: its main channel's peer address (null when none is connected).
    virtual void viewerChanged(const sockaddr_storage* viewer, socklen_t length) = 0;
};

}  // namespace kl

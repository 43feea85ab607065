// The input sideband of one viewer connection: a UDP socket bound to the main channel's local
// address (the tunnel's end reaches the service on loopback, so nothing else can send input), and a
// reader thread that hands every datagram on with its sender's address.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>

namespace kl {

class InputSideband {
public:
    using Handler = std::function<void(std::span<const uint8_t>, const sockaddr_storage&, socklen_t)>;

    // Binds local's address with port (0: a free one) and starts reading; null when it cannot bind.
    static std::unique_ptr<InputSideband> open(const sockaddr_storage& local, uint16_t port, Handler handler);
    ~InputSideband();  // wakes and joins the reader, then closes the socket
    InputSideband(const InputSideband&) = delete;
    InputSideband& operator=(const InputSideband&) = delete;

    uint16_t port() const { return port_; }

private:
    InputSideband(int fd, int wake, uint16_t port, Handler handler);
    void run();

    int fd_;
    int wake_;
    uint16_t port_;
    Handler handler_;
    std::thread reader_;
};

}  // namespace kl

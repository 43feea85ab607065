// ViewerListener: accepts viewer connections on the service's port, on loopback only (127.0.0.1
// and ::1): viewers arrive through the tunnel, whose end connects to loopback, so nothing on the
// network can reach the screen directly. A connection from a local program of a user other than
// root or the session's user is closed at once. Accepted connections are handed over as
// KLNetSocket client sockets on the listener's own thread; the receiver hops to its own thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <thread>

#include "foundation/KLNetSocket.h"

namespace kl {

class ViewerListener {
public:
    using AcceptHandler = std::function<void(std::shared_ptr<KLNetSocket>)>;

    ViewerListener(uid_t sessionUser, AcceptHandler handler);
    ~ViewerListener();  // stops and joins the accept thread before closing the sockets
    ViewerListener(const ViewerListener&) = delete;
    ViewerListener& operator=(const ViewerListener&) = delete;

    // Binds both loopback addresses on port (0: one free port for both) and starts accepting.
    // false when neither address can be bound.
    bool start(uint16_t port);
    uint16_t port() const { return port_; }

private:
    void run();
    void acceptFrom(int listener);

    uid_t sessionUser_;
    AcceptHandler handler_;
    int listeners_[2] = {-1, -1};  // IPv4, IPv6
    int wake_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace kl

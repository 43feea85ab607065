// ViewerSession: one viewer connection. It owns the viewer's socket and its reader thread, so a
// session that ends (or is replaced by a viewer that took over) closes only its own socket. The
// reader greets the viewer, feeds what it reads to the server's connection core and sends the
// answers; every send on the main channel goes through send(), under one lock, so that messages
// from the reader and from other threads never interleave.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/KLNetSocket.h"
#include "screen/server/ViewerChannel.h"
#include "screen/server/ViewerConnectionCore.h"

namespace kl {

class ViewerSession {
public:
    struct Handlers {
        // A handshake and what it asks of the server (on the reader thread).
        std::function<void(HandshakeAction)> handshake;
        // Sends an update while streaming; false when none was made, and the empty update follows.
        // A handler whose sends failed closes the session and answers true: nothing more is sent.
        std::function<bool(ViewerSession&)> update;
        // The reader ended: the viewer left, went silent or a send failed. Runs on the reader
        // thread, so it hands the session's destruction to another thread.
        std::function<void()> ended;
        // The icons the viewer of a handshake says it holds, before the handshake's action.
        std::function<void(const std::vector<IconHash>&)> iconsHeld;
    };

    // core is the server's, shared with its other threads under coreLock.
    ViewerSession(std::shared_ptr<ViewerChannel> channel, ViewerConnectionCore& core, std::mutex& coreLock,
                  Handlers handlers);
    ViewerSession(std::shared_ptr<KLNetSocket> socket, ViewerConnectionCore& core, std::mutex& coreLock,
                  Handlers handlers)
        : ViewerSession(std::make_shared<NetSocketViewerChannel>(std::move(socket)), core, coreLock,
                        std::move(handlers)) {}
    ~ViewerSession();  // closes the socket and joins the reader
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    void start();
    // Ends the connection: the reader wakes, reports the end and stops.
    void close();
    // close(), then waits for the reader to finish (never call it on the reader itself).
    void stop();
    bool send(const Bytes& bytes);
    // Held around a whole update so that nothing else is sent between its records; send() takes
    // it too, so the holder may still call it.
    std::recursive_mutex& transmissionLock() { return transmission_; }
    const std::shared_ptr<ViewerChannel>& socket() const { return socket_; }

private:
    void read();

    std::shared_ptr<ViewerChannel> socket_;
    ViewerConnectionCore& core_;
    std::mutex& coreLock_;
    Handlers handlers_;
    std::recursive_mutex transmission_;
    std::thread reader_;
};

}  // namespace kl

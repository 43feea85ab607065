// The accepting thread of a listener: waits on the listening socket and an eventfd, and hands each
// accepted connection, with its peer's credentials, to a callback on that thread. stop() wakes and
// joins the thread and only then closes the listening socket (removing its file).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/ipc/IPCEndpoint.h"

namespace kl::ipc {

class IPCAcceptor {
public:
    using AcceptedCallback = std::function<void(int fd, const PeerCredentials& peer)>;

    IPCAcceptor(ListeningSocket socket, AcceptedCallback accepted);
    ~IPCAcceptor();
    IPCAcceptor(const IPCAcceptor&) = delete;
    IPCAcceptor& operator=(const IPCAcceptor&) = delete;

    void stop();

    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::mutex stopMutex_;
};

}  // namespace kl::ipc

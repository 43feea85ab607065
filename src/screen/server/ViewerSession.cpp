#include "screen/server/ViewerSession.h"

#include "foundation/KLTLogging.h"

namespace kl {

ViewerSession::ViewerSession(std::shared_ptr<ViewerChannel> socket, ViewerConnectionCore& core, std::mutex& coreLock,
                             Handlers handlers)
    : socket_(std::move(socket)), core_(core), coreLock_(coreLock), handlers_(std::move(handlers)) {}

ViewerSession::~ViewerSession() { stop(); }

void ViewerSession::stop() {
    close();
    if (reader_.joinable()) reader_.join();
}

void ViewerSession::start() {
    Bytes hello;
    {
        std::lock_guard lock(coreLock_);
        hello = core_.accept();
    }
    reader_ = std::thread([this, hello = std::move(hello)] {
        if (hello.empty() || send(hello)) read();
        socket_->close();
        if (handlers_.ended) handlers_.ended();
    });
}

void ViewerSession::close() { socket_->close(); }

bool ViewerSession::send(const Bytes& bytes) {
    std::lock_guard lock(transmission_);
    return socket_->sendBytes(bytes.data(), uint32_t(bytes.size()));
}

void ViewerSession::read() {
    uint8_t byte = 0;
    // One byte at a time: the core keeps what it cannot use yet, and the socket's read limit ends a
    // silent connection.
    while (socket_->getClientBytes(&byte, 1)) {
        std::vector<ViewerRequest> requests;
        ScreenServerState state;
        {
            std::lock_guard lock(coreLock_);
            requests = core_.feed(std::span(&byte, 1));
            state = core_.state();
        }
        for (const auto& request : requests) {
            if (request.kind == ViewerRequest::Handshake) {
                if (handlers_.iconsHeld && !request.iconHashes.empty()) handlers_.iconsHeld(request.iconHashes);
                if (handlers_.handshake) handlers_.handshake(request.action);
            } else if (request.kind == ViewerRequest::UpdateRequest) {
                bool made = state == ScreenServerState::Streaming && handlers_.update && handlers_.update(*this);
                if (!made && !send(ViewerConnectionCore::emptyUpdate())) {
                    KLLog(kKLTLoggingLevelInfo, "ScreenServer: viewer gone while answering an update request");
                    return;
                }
            }
        }
    }
}

}  // namespace kl

#include "tunnel/sockcore/ProxySocket.h"

#include <algorithm>
#include <vector>

#include "tunnel/sockcore/OSXSel.h"
#include "platform/Executors.h"

namespace kl {

std::shared_ptr<ProxySocket> ProxySocket::create(const PlugPtr& owner, SockAddrPtr remoteAddr, const char* hostname,
                                                 int remotePort, const ProxyConfig& cfg) {
    std::shared_ptr<ProxySocket> p(new ProxySocket());
    p->owner = owner;
    p->remote_addr = std::move(remoteAddr);
    p->remote_hostname = hostname ? hostname : "";
    p->remote_port = remotePort;
    p->cfg = cfg;
    p->self_ = p;
    return p;
}

std::shared_ptr<Plug> ProxySocket::plug(std::shared_ptr<Plug> p) {
    assertCoreLockHeld("Socket::plug");
    auto old = owner.lock();
    if (p) owner = p;
    return old;
}

void ProxySocket::close() {
    assertCoreLockHeld("Socket::close");
    if (closed_) return;
    closed_ = true;
    if (sub_socket) sub_socket->close();
    remote_addr.reset();
    bufchain_clear(&pending_output_data);
    bufchain_clear(&pending_oob_output_data);
    bufchain_clear(&pending_input_data);
    auto keep = std::move(self_);  // may be the last reference: nothing touches *this after it
}

// Once the proxy is through, what waits is the TCP connection's to write; before that, nothing
// queued here could ever be sent.
void ProxySocket::closeWhenDrained() {
    assertCoreLockHeld("Socket::closeWhenDrained");
    if (closed_) return;
    if (state != PROXY_STATE_ACTIVE || !sub_socket) {
        close();
        return;
    }
    SocketPtr sub = std::move(sub_socket);
    close();
    sub->closeWhenDrained();
}

int ProxySocket::write(const void* data, int len) {
    assertCoreLockHeld("Socket::write");
    if (closed_ || !sub_socket) return 0;
    if (state != PROXY_STATE_ACTIVE) {
        if (len > 0) bufchain_add(&pending_output_data, data, size_t(len));
        return int(bufchain_size(&pending_output_data));
    }
    return sub_socket->write(data, len);
}

int ProxySocket::writeOob(const void* data, int len) {
    assertCoreLockHeld("Socket::writeOob");
    if (closed_ || !sub_socket) return 0;
    if (state != PROXY_STATE_ACTIVE) {
        // Urgent data replaces everything queued, as it does on a plain connection.
        bufchain_clear(&pending_output_data);
        bufchain_clear(&pending_oob_output_data);
        if (len > 0) bufchain_add(&pending_oob_output_data, data, size_t(len));
        return int(bufchain_size(&pending_oob_output_data));
    }
    return sub_socket->writeOob(data, len);
}

void ProxySocket::flush() {
    assertCoreLockHeld("Socket::flush");
    if (closed_ || !sub_socket) return;
    if (state != PROXY_STATE_ACTIVE) pending_flush = true;
    else sub_socket->flush();
}

void ProxySocket::deliverPendingInput() {
    char buffer[BUFFER_GRANULE];
    while (!closed_ && !freeze && bufchain_size(&pending_input_data) > 0) {
        size_t length = std::min(bufchain_size(&pending_input_data), sizeof buffer);
        bufchain_fetch(&pending_input_data, buffer, length);
        bufchain_consume(&pending_input_data, length);
        auto p = owner.lock();
        if (!p) break;
        p->receive(URGENT_NONE, buffer, int(length));
    }
}

void ProxySocket::setFrozen(bool isFrozen) {
    assertCoreLockHeld("Socket::setFrozen");
    if (closed_) return;
    freeze = isFrozen;
    if (state != PROXY_STATE_ACTIVE || !sub_socket) return;  // only remembered until connected through
    // Bytes that came with the proxy's reply go first; the owner may freeze again meanwhile.
    if (!isFrozen) deliverPendingInput();
    if (!closed_ && sub_socket) sub_socket->setFrozen(freeze);
}

const char* ProxySocket::socketError() {
    assertCoreLockHeld("Socket::socketError");
    if (!error.empty()) return error.c_str();
    return sub_socket ? sub_socket->socketError() : nullptr;
}

void ProxySocket::whenRoom(RoomCallback done) {
    assertCoreLockHeld("Socket::whenRoom");
    if (!closed_ && sub_socket) sub_socket->whenRoom(std::move(done));
    else postRoomCallbacks({std::move(done)}, false);
}

void ProxySocket::log(int type, const SockAddrPtr& addr, int port, const char* errorText, int errorCode) {
    if (auto p = owner.lock()) p->log(type, addr, port, errorText, errorCode);
}

int ProxySocket::closing(const char* errorText, int errorCode, int callingBack) {
    if (closed_) return 0;
    if (state != PROXY_STATE_ACTIVE) {
        if (failed_) return 0;
        closing_has_msg = errorText != nullptr;
        closing_error_msg = errorText ? errorText : "";
        closing_error_code = errorCode;
        return negotiate(this, PROXY_CHANGE_CLOSING);
    }
    auto p = owner.lock();
    return p ? p->closing(errorText, errorCode, callingBack) : 0;
}

int ProxySocket::receive(int urgent, const char* data, int len) {
    if (closed_) return 0;
    if (state != PROXY_STATE_ACTIVE) {
        if (failed_) return 0;
        bufchain_add(&pending_input_data, data, size_t(len));
        receive_urgent = urgent;
        return negotiate(this, PROXY_CHANGE_RECEIVE);
    }
    auto p = owner.lock();
    return p ? p->receive(urgent, data, len) : 0;
}

void ProxySocket::sent(int bufsize) {
    if (closed_) return;
    if (state != PROXY_STATE_ACTIVE) {
        if (failed_) return;
        sent_bufsize = bufsize;
        negotiate(this, PROXY_CHANGE_SENT);
        return;
    }
    if (auto p = owner.lock()) p->sent(bufsize);
}

int ProxySocket::accepting(int fd) {
    if (closed_) return 1;
    if (state != PROXY_STATE_ACTIVE) {
        if (failed_) return 1;
        accepting_fd = fd;
        return negotiate(this, PROXY_CHANGE_ACCEPTING);
    }
    auto p = owner.lock();
    return p ? p->accepting(fd) : 1;
}

int ProxySocket::passClosing() {
    auto p = owner.lock();
    return p ? p->closing(closing_has_msg ? closing_error_msg.c_str() : nullptr, closing_error_code, 0) : 0;
}

int ProxySocket::passAccepting() {
    auto p = owner.lock();
    return p ? p->accepting(accepting_fd) : 1;
}

void ProxySocket::send(const std::string& bytes) {
    if (sub_socket && !bytes.empty()) sub_socket->write(bytes.data(), int(bytes.size()));
}

int ProxySocket::fail(const std::string& text, int code) {
    if (failed_ || closed_) return 0;
    failed_ = true;
    failure_ = text;
    if (sub_socket) sub_socket->setFrozen(true);  // nothing more from this proxy is read
    if (state == PROXY_STATE_NEW) {
        // Still inside new_connection(): the owner hears of it from a task, once it holds the socket.
        globalQueue().async([weak = weak_from_this(), code] {
            auto self = weak.lock();
            if (!self) return;
            SocketCoreLock lock;
            if (self->closed_) return;
            if (auto p = self->owner.lock()) p->closing(self->failure_.c_str(), code, 0);
        });
        return 0;
    }
    auto p = owner.lock();
    return p ? p->closing(failure_.c_str(), code, 0) : 0;
}

void ProxySocket::activate() {
    state = PROXY_STATE_ACTIVE;
    // No new bytes from the proxy until those that came with its reply have been handed on.
    sub_socket->setFrozen(true);
    size_t queued = bufchain_size(&pending_oob_output_data) + bufchain_size(&pending_output_data);
    int backlog = 0;
    if (size_t urgent = bufchain_size(&pending_oob_output_data)) {
        std::vector<char> bytes(urgent);
        bufchain_fetch(&pending_oob_output_data, bytes.data(), urgent);
        bufchain_clear(&pending_oob_output_data);
        backlog = sub_socket->writeOob(bytes.data(), int(urgent));
    }
    while (bufchain_size(&pending_output_data) > 0) {
        void* data = nullptr;
        int length = 0;
        bufchain_prefix(&pending_output_data, &data, &length);
        backlog = sub_socket->write(data, length);
        bufchain_consume(&pending_output_data, size_t(length));
    }
    if (size_t(backlog) < queued)
        if (auto p = owner.lock()) p->sent(backlog);
    if (closed_) return;
    if (pending_flush) sub_socket->flush();
    if (!freeze) setFrozen(false);
}

}  // namespace kl

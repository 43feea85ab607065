// Shared pieces of the socket core's TCP tests: a plug that records every callback, and plain
// loopback sockets for the far ends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestEnvironment.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl::test {

// Runs call under the core lock, as a thread outside a result pass must call into the core.
template <class Call>
auto underCoreLock(Call&& call) {
    SocketCoreLock lock;
    return call();
}

struct PlugEvent {
    enum Kind { Log, Closing, Receive, Sent, Accepting } kind;
    int type = 0;  // log type, or receive's urgent value
    int code = 0;  // error code, sent backlog, or accepted descriptor
    std::string text;
    bool lockHeld = false;
};

class RecordingPlug : public Plug {
public:
    // Runs inside accepting(); returns the callback's result (default: close the descriptor).
    std::function<int(int fd)> onAccept;
    std::function<void(const char* data, int len)> onReceive;

    void log(int type, const SockAddrPtr&, int, const char* text, int code) override {
        add({PlugEvent::Log, type, code, text ? text : ""});
    }
    int closing(const char* text, int code, int) override {
        add({PlugEvent::Closing, 0, code, text ? text : ""});
        return 1;
    }
    int receive(int urgent, const char* data, int len) override {
        if (onReceive) onReceive(data, len);
        add({PlugEvent::Receive, urgent, len, std::string(data, size_t(len))});
        return 1;
    }
    void sent(int bufsize) override { add({PlugEvent::Sent, 0, bufsize, ""}); }
    int accepting(int fd) override {
        int result = onAccept ? onAccept(fd) : 1;
        add({PlugEvent::Accepting, 0, fd, ""});
        return result;
    }

    std::vector<PlugEvent> events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    std::vector<PlugEvent> eventsOf(PlugEvent::Kind kind) {
        std::vector<PlugEvent> out;
        for (auto& e : events()) {
            if (e.kind == kind) out.push_back(e);
        }
        return out;
    }
    std::string received() {
        std::string out;
        for (auto& e : eventsOf(PlugEvent::Receive)) out += e.text;
        return out;
    }
    bool waitForKind(PlugEvent::Kind kind, size_t count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([&] { return eventsOf(kind).size() >= count; }, timeout);
    }

private:
    void add(PlugEvent e) {
        e.lockHeld = osxsel_write_lock_held();
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(e));
    }
    std::mutex mutex_;
    std::vector<PlugEvent> events_;
};

inline sockaddr_storage loopbackAddress(int family, int port) {
    sockaddr_storage ss{};
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(uint16_t(port));
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
    }
    return ss;
}

inline socklen_t addressLength(const sockaddr_storage& ss) {
    return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

inline int portOf(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port);
}

// A plain blocking listener on the loopback address of family; *port receives its port.
inline int plainListener(int family, int* port) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage ss = loopbackAddress(family, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), addressLength(ss)) < 0 || ::listen(fd, 16) < 0) {
        ::close(fd);
        return -1;
    }
    *port = portOf(fd);
    return fd;
}

// Accepts one connection, waiting at most timeoutMs; -1 when none came.
inline int plainAccept(int listener, int timeoutMs = 10000) {
    pollfd pfd{listener, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) != 1) return -1;
    return ::accept(listener, nullptr, nullptr);
}

// A blocking connection to the loopback address of family; -1 on failure.
inline int plainConnect(int family, int port) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage ss = loopbackAddress(family, port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), addressLength(ss)) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A loopback IPv4 port that refuses connections: bound by the returned socket (close it when
// done) but not listening, so no other process can take it meanwhile. *port receives it.
inline int refusingPort(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage ss = loopbackAddress(AF_INET, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&ss), addressLength(ss));
    *port = portOf(fd);
    return fd;
}

// Byte i of the test streams.
inline char streamByte(size_t i) { return char((i * 131 + (i >> 9)) & 0xff); }

}  // namespace kl::test

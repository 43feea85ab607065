#include "tunnel/sockcore/TcpSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/sockcore/Network.h"
#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/SocketErrors.h"
#include "tunnel/sockcore/SocketTable.h"

namespace kl {
namespace {

// Granules described to one gathering send: 128 KiB.
constexpr int kMaxSendGranules = 256;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How long a socket closed once drained waits for a reader that takes nothing.
constexpr auto kDrainLimit = std::chrono::seconds(30);

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// A peer that a loopback-only listener keeps: a local-domain socket, IPv4 127.x.x.x, or exactly
// ::1 (not an IPv4-mapped address).
bool isLoopbackPeer(const sockaddr_storage& peer) {
    switch (peer.ss_family) {
    case AF_UNIX: return true;
    case AF_INET: return (ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr) >> 24) == 127;
    case AF_INET6: return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
    default: return false;
    }
}

// Binds fd to the family's wildcard address: with privport at 1023 and downwards while the port is
// taken, else once at port 0. Returns 0 or the error.
int bindLocal(int fd, int family, bool privport) {
    sockaddr_storage local{};
    socklen_t len;
    auto setPort = [&](int p) {
        if (family == AF_INET6) reinterpret_cast<sockaddr_in6&>(local).sin6_port = htons(uint16_t(p));
        else reinterpret_cast<sockaddr_in&>(local).sin_port = htons(uint16_t(p));
    };
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(local);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        len = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(local);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        len = sizeof a;
    }
    int localport = privport ? 1023 : 0;
    for (;;) {
        setPort(localport);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), len) == 0) return 0;
        int err = errno;
        if (!privport || err != EADDRINUSE || --localport == 0) return err;
    }
}

}  // namespace

std::shared_ptr<TcpSocket> TcpSocket::create(const PlugPtr& plug) {
    sk_init();
    std::shared_ptr<TcpSocket> s(new TcpSocket());
    s->owner = plug;
    s->self_ = s;
    return s;
}

std::shared_ptr<Plug> TcpSocket::plug(std::shared_ptr<Plug> p) {
    assertCoreLockHeld("Socket::plug");
    auto old = owner.lock();
    if (p) owner = p;
    return old;
}

const char* TcpSocket::socketError() {
    assertCoreLockHeld("Socket::socketError");
    return error;
}

void TcpSocket::becomeChild(TcpSocket* p) { parent = p; }

void TcpSocket::setDescriptor(int fd) {
    s = fd;
    descriptor_.store(fd, std::memory_order_relaxed);
}

// The number is forgotten before it is closed: once closed, another socket may get it.
void TcpSocket::closeDescriptor() {
    if (s < 0) return;
    int fd = s;
    uxsel_del(fd);
    setDescriptor(-1);
    ::close(fd);
}

void TcpSocket::open(int fd) {
    setDescriptor(fd);
    uxselTell();
    sktreeAdd(this);
}

void TcpSocket::close() {
    assertCoreLockHeld("Socket::close");
    if (closed_) return;
    closed_ = true;
    if (child) child->close();
    child.reset();
    if (parent) parent->child.reset();  // a companion closed on its own
    parent = nullptr;
    sktreeDel(this);
    closeDescriptor();
    addr.reset();
    step = nullptr;
    bufchain_clear(&outputData);
    sendingOob = 0;
    backlogChanged();
    auto keep = std::move(self_);  // may be the last reference: nothing touches *this after it
}

void TcpSocket::closeWhenDrained() {
    assertCoreLockHeld("Socket::closeWhenDrained");
    if (closed_ || closeWhenDrained_) return;
    closeWhenDrained_ = true;
    // It goes on reading, for nobody: a descriptor closed with unread input resets the
    // connection, and the reader would lose what was written to it.
    frozen = false;
    uxselTell();
    globalQueue().after(kDrainLimit, [weak = weak_from_this()] {
        auto socket = weak.lock();
        if (!socket) return;
        SocketCoreLock lock;
        socket->close();
    });
    closeIfDrained();
}

// Under the core lock, wherever the queue shrinks or the socket fails.
void TcpSocket::closeIfDrained() {
    if (!closeWhenDrained_ || closed_) return;
    const bool empty = sendingOob == 0 && bufchain_size(&outputData) == 0;
    if (empty || pendingError != 0 || s < 0) close();
}

void TcpSocket::uxselTell() {
    if (closed_ || s < 0) return;
    int rwx = 0;
    if (listener) {
        rwx = SELECT_R;
    } else if (!connected) {
        if (!closingReported_) rwx = SELECT_W;
    } else {
        if (!frozen && !closingReported_) rwx |= SELECT_R | SELECT_X;
        // A pending urgent byte alone does not ask for writable.
        if (bufchain_size(&outputData) > 0 && pendingError == 0) rwx |= SELECT_W;
    }
    uxsel_set(s, rwx, net_select_result);
}

// Under the core lock, wherever the queue shrinks or the socket fails.
void TcpSocket::backlogChanged() {
    if (roomWaiters_.empty()) return;
    const bool dead = closed_ || pendingError != 0;
    if (!dead && size_t(sendingOob) + bufchain_size(&outputData) >= size_t(kSocketBacklogResume)) return;
    postRoomCallbacks(std::exchange(roomWaiters_, {}), !dead);
}

void TcpSocket::whenRoom(RoomCallback done) {
    assertCoreLockHeld("Socket::whenRoom");
    roomWaiters_.push_back(std::move(done));
    backlogChanged();
}

int TcpSocket::tryConnect() {
    sktreeDel(this);  // the descriptor is the table's sort key
    closeDescriptor();
    if (auto p = owner.lock()) p->log(0, addr, port, nullptr, 0);

    int err = 0;
    int family = step ? step->ai_family : (addr && addr->superfamily == SUPERFAMILY_UNRESOLVED ? AF_UNSPEC : AF_INET);
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
    } else {
        setDescriptor(fd);
        if (oobinline) setSocketOption(fd, SOL_SOCKET, SO_OOBINLINE, 1);
        if (nodelay) setSocketOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        if (keepalive) setSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        err = bindLocal(fd, family, privport);
    }
    if (!err && (!step || (family != AF_INET && family != AF_INET6))) err = EAFNOSUPPORT;  // an error, never an exit
    if (!err) {
        sockaddr_storage dest{};
        std::memcpy(&dest, step->ai_addr, std::min(size_t(step->ai_addrlen), sizeof dest));
        if (family == AF_INET6) reinterpret_cast<sockaddr_in6&>(dest).sin6_port = htons(uint16_t(port));
        else reinterpret_cast<sockaddr_in&>(dest).sin_port = htons(uint16_t(port));
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&dest), step->ai_addrlen) == 0) {
            connected = writable = true;
        } else if (errno != EINPROGRESS) {
            err = errno;
        }
    }
    if (!err) uxselTell();
    sktreeAdd(this);
    if (err) {
        if (auto p = owner.lock()) p->log(1, addr, port, errorText(err), err);
    }
    return err;
}

int TcpSocket::reportClosing(const char* text, int code) {
    closingReported_ = true;
    if (closeWhenDrained_) {
        // Its owner has let it go. A reader that only ended its own half still takes the rest.
        if (code != 0) close();
        else uxselTell();
        return 0;
    }
    uxselTell();  // stop reading, so a slow owner does not hear the end again
    if (auto p = owner.lock()) return p->closing(text, code, 0);
    return 0;
}

// An attempt that was under way failed: log it, then move through the remaining candidates until
// one is under way; closing() when none is left.
int TcpSocket::connectionFailed(int err) {
    if (auto p = owner.lock()) p->log(1, addr, port, errorText(err), err);
    while (err && step && step->ai_next) {
        step = step->ai_next;
        err = tryConnect();
    }
    if (err) return reportClosing(errorText(err), err);
    return 0;
}

void TcpSocket::sendFailed(int err) {
    bool first = pendingError == 0;
    pendingError = err;
    backlogChanged();
    if (closeWhenDrained_) {
        globalQueue().async([weak = weak_from_this()] {
            auto s = weak.lock();
            if (!s) return;
            SocketCoreLock lock;
            s->close();
        });
        return;
    }
    if (!first) return;
    // Report it through closing(), but not from inside the owner's own write: from a task that
    // takes the core lock like any result pass.
    globalQueue().async([weak = weak_from_this()] {
        auto s = weak.lock();
        if (!s) return;
        SocketCoreLock lock;
        if (s->closed_ || s->closingReported_) return;
        s->reportClosing(errorText(s->pendingError), s->pendingError);
    });
}

void TcpSocket::trySend() {
    while (!closed_ && s >= 0 && pendingError == 0 && (sendingOob > 0 || bufchain_size(&outputData) > 0)) {
        ssize_t n;
        if (sendingOob > 0) {
            n = ::send(s, oobdata, size_t(sendingOob), MSG_OOB | MSG_NOSIGNAL);
        } else {
            iovec iov[kMaxSendGranules];
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = size_t(bufchain_iovecs(&outputData, iov, kMaxSendGranules));
            n = ::sendmsg(s, &msg, MSG_NOSIGNAL);
        }
        if (n > 0) {
            if (sendingOob > 0) sendingOob = 0;
            else bufchain_consume(&outputData, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && wouldBlock(errno)) {
            writable = false;
            break;
        }
        if (n < 0) sendFailed(errno);
        break;  // a 0-byte send: try again on the next writable event
    }
    backlogChanged();
    uxselTell();
    closeIfDrained();
}

int TcpSocket::write(const void* data, int len) {
    assertCoreLockHeld("Socket::write");
    if (closed_) return 0;
    auto* bytes = static_cast<const char*>(data);
    size_t left = len > 0 ? size_t(len) : 0;
    if (left > 0 && pendingError == 0) {
        if (writable && connected && sendingOob == 0 && bufchain_size(&outputData) == 0 && s >= 0) {
            // Nothing queued: send from the caller's buffer and queue only what the kernel left.
            ssize_t n = ::send(s, bytes, left, MSG_NOSIGNAL);
            if (n > 0) {
                bytes += n;
                left -= size_t(n);
            } else if (n < 0 && wouldBlock(errno)) {
                writable = false;
            } else if (n < 0 && errno != EINTR) {
                sendFailed(errno);
                left = 0;
            }
        }
        bufchain_add(&outputData, bytes, left);
        if (writable) trySend();
        else {
            backlogChanged();
            uxselTell();
        }
    }
    return int(std::min(bufchain_size(&outputData), size_t(INT_MAX)));
}

int TcpSocket::writeOob(const void* data, int len) {
    assertCoreLockHeld("Socket::writeOob");
    if (closed_) return 0;
    bufchain_clear(&outputData);
    if (len > 1) KLLog(kKLTLoggingLevelError, "sk_tcp_write_oob: only one byte of urgent data is sent, not %d", len);
    sendingOob = len > 0 ? 1 : 0;
    if (sendingOob) oobdata[0] = static_cast<const char*>(data)[0];
    if (writable) trySend();
    else {
        backlogChanged();
        uxselTell();
    }
    return sendingOob;
}

void TcpSocket::setFrozen(bool isFrozen) {
    assertCoreLockHeld("Socket::setFrozen");
    if (closed_ || frozen == isFrozen || closeWhenDrained_) return;
    frozen = isFrozen;
    if (!isFrozen && frozenReadable && s >= 0) {
        char c;
        ::recv(s, &c, 1, MSG_PEEK);  // makes waiting data show as readable again
    }
    frozenReadable = false;
    uxselTell();
}

int TcpSocket::acceptOne() {
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd = ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // The connection stays in the backlog and the listener stays readable: waiting again at
            // once would spin until a descriptor frees up.
            KLLog(kKLTLoggingLevelError, "accept on %d: %s; pausing accepts", s, errorText(err));
            OSXSel::shared().pause(s, kAcceptPause);
        }
        return 0;
    }
    if (localhostOnly && !isLoopbackPeer(peer)) {
        ::close(fd);
        return 0;
    }
    auto p = owner.lock();
    if (!p || p->accepting(fd) != 0) ::close(fd);
    return 0;
}

int TcpSocket::readData() {
    if (frozen) {
        frozenReadable = true;
        return 0;
    }
    int atmark = 1;
    if (oobinline && oobpending) {
        if (::ioctl(s, SIOCATMARK, &atmark) == 0 && atmark) oobpending = false;
    }
    char* buf = receiveBuffer();
    ssize_t n = ::recv(s, buf, oobpending ? 1 : size_t(kReceiveBufferSize), 0);
    if (n < 0) {
        int err = errno;
        if (wouldBlock(err) || err == EINTR) return 0;
        if (addr) return connectionFailed(err);  // nothing received yet: another candidate may do
        return reportClosing(errorText(err), err);
    }
    if (n == 0) return reportClosing(nullptr, 0);
    addr.reset();  // the connection is proven
    step = nullptr;
    if (closeWhenDrained_) return 0;
    auto p = owner.lock();
    return p ? p->receive(atmark ? URGENT_NONE : URGENT_BEFORE_MARK, buf, int(n)) : 0;
}

int TcpSocket::readUrgent() {
    if (oobinline) {
        // Inline urgent data is read by the readable event, one byte at a time up to the mark.
        oobpending = true;
        return 0;
    }
    char* buf = receiveBuffer();
    ssize_t n = ::recv(s, buf, size_t(kReceiveBufferSize), MSG_OOB);
    if (n > 0) {
        addr.reset();
        step = nullptr;
        auto p = owner.lock();
        return p ? p->receive(URGENT_DATA, buf, int(n)) : 0;
    }
    int err = n < 0 ? errno : 0;
    if (n < 0 && (wouldBlock(err) || err == EINTR)) return 0;  // the urgent byte is not here yet
    if (n < 0 && err == EINVAL) {
        KLLog(kKLTLoggingLevelError, "Error reading out-of-band data");
        if (auto p = owner.lock()) p->receive(URGENT_DATA, buf, 0);
        return 0;
    }
    return reportClosing(n < 0 ? errorText(err) : "Error reading out-of-band data", err);
}

int TcpSocket::finishConnect() {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    if (err) return connectionFailed(err);
    connected = writable = true;
    uxselTell();
    return 0;
}

int TcpSocket::handleEvent(int event) {
    if (closed_ || s < 0) return 0;
    // After closing() only queued output still moves (an event of the same pass may follow it).
    if (closingReported_ && !(event == SELECT_W && connected)) return 0;
    switch (event) {
    case SELECT_R:
        if (listener) return acceptOne();
        if (!connected) return 0;
        return readData();
    case SELECT_W: {
        if (listener) return 0;
        if (!connected) return finishConnect();
        writable = true;
        size_t before = size_t(sendingOob) + bufchain_size(&outputData);
        trySend();
        size_t after = size_t(sendingOob) + bufchain_size(&outputData);
        if (after < before && !closed_) {
            if (auto p = owner.lock()) p->sent(int(std::min(after, size_t(INT_MAX))));
        }
        return 0;
    }
    case SELECT_X:
        if (listener || !connected) return 0;
        return readUrgent();
    default:
        return 0;
    }
}

}  // namespace kl

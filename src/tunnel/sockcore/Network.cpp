#include "tunnel/sockcore/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tunnel/sockcore/OSXSel.h"
#include "tunnel/sockcore/SocketErrors.h"
#include "tunnel/sockcore/SocketTable.h"
#include "tunnel/sockcore/TcpSocket.h"

namespace kl {
namespace {

// The local address a listener binds: the numeric srcaddr when given (its own family), else the
// family's loopback or wildcard address. Returns 0 or a resolver error code.
int listenAddress(const char* srcaddr, int port, int family, bool localhostOnly, sockaddr_storage* out, socklen_t* len) {
    *out = sockaddr_storage{};
    if (srcaddr) {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        std::string service = std::to_string(port);
        int rc = ::getaddrinfo(srcaddr, service.c_str(), &hints, &result);
        if (rc != 0) return rc;
        std::memcpy(out, result->ai_addr, result->ai_addrlen);
        *len = result->ai_addrlen;
        ::freeaddrinfo(result);
        return 0;
    }
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(*out);
        a.sin6_family = AF_INET6;
        a.sin6_addr = localhostOnly ? in6addr_loopback : in6addr_any;
        a.sin6_port = htons(uint16_t(port));
        *len = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(*out);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(localhostOnly ? INADDR_LOOPBACK : INADDR_ANY);
        a.sin_port = htons(uint16_t(port));
        *len = sizeof a;
    }
    return 0;
}

int boundPort(int fd) {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) < 0) return 0;
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(local).sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
}

}  // namespace

SocketPtr sk_new(SockAddrPtr addr, int port, bool privport, bool oobinline, bool nodelay, bool keepalive,
                 const PlugPtr& plug) {
    assertCoreLockHeld("sk_new");
    auto ret = TcpSocket::create(plug);
    ret->oobinline = oobinline;
    ret->nodelay = nodelay;
    ret->keepalive = keepalive;
    ret->privport = privport;
    ret->port = port;
    ret->addr = std::move(addr);
    ret->step = ret->addr && ret->addr->superfamily == SUPERFAMILY_IP ? ret->addr->ais : nullptr;

    int err;
    while ((err = ret->tryConnect()) != 0 && ret->step && ret->step->ai_next) ret->step = ret->step->ai_next;
    if (err) ret->error = errorText(err);
    return ret;
}

SocketPtr sk_newlistener(const char* srcaddr, int port, const PlugPtr& plug, bool local_host_only,
                         int address_family) {
    assertCoreLockHeld("sk_newlistener");
    auto ret = TcpSocket::create(plug);
    ret->listener = true;
    ret->localhostOnly = local_host_only;

    int family;
    if (srcaddr) {
        // A given address decides the family; it is never widened to the wildcard.
        family = address_family == ADDRTYPE_IPV4 ? AF_INET : address_family == ADDRTYPE_IPV6 ? AF_INET6 : AF_UNSPEC;
    } else {
        family = address_family == ADDRTYPE_IPV4 ? AF_INET : AF_INET6;
    }
    sockaddr_storage local{};
    socklen_t localLen = 0;
    int rc = listenAddress(srcaddr, port, family, local_host_only, &local, &localLen);
    if (rc != 0) {
        ret->error = ::gai_strerror(rc);
        return ret;
    }
    family = local.ss_family;

    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && family == AF_INET6 && !srcaddr) {
        family = AF_INET;  // no IPv6 here: listen on IPv4 alone
        listenAddress(nullptr, port, family, local_host_only, &local, &localLen);
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        ret->error = errorText(errno);
        return ret;
    }
    bool withCompanion = family == AF_INET6 && address_family == ADDRTYPE_UNSPEC && !srcaddr;
    setSocketOption(fd, SOL_SOCKET, SO_OOBINLINE, 0);
    setSocketOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    // Without this the IPv6 socket takes the IPv4 port too, and the companion cannot bind.
    if (withCompanion) setSocketOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) < 0 || ::listen(fd, 128) < 0) {
        ret->error = errorText(errno);
        ::close(fd);
        return ret;
    }

    if (withCompanion) {
        // Same port as the IPv6 socket, also when the system picked it.
        int companionPort = port ? port : boundPort(fd);
        auto other = std::static_pointer_cast<TcpSocket>(
            sk_newlistener(nullptr, companionPort, plug, local_host_only, ADDRTYPE_IPV4));
        if (other->error) {
            ::close(fd);
            ret->close();
            return other;
        }
        other->becomeChild(ret.get());
        ret->child = other;
    }

    ret->open(fd);
    return ret;
}

SocketPtr sk_register(int fd, const PlugPtr& plug) {
    int err = errno;
    assertCoreLockHeld("sk_register");
    auto ret = TcpSocket::create(plug);
    ret->connected = true;
    ret->writable = true;
    ret->frozen = true;
    if (fd < 0) {
        ret->error = errorText(err ? err : EBADF);
        return ret;
    }
    // Every core socket is non-blocking: a send that blocked would hold the core lock.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ret->open(fd);
    return ret;
}

int sk_ossocket(const SocketPtr& s) {
    if (!s) return 0;
    auto* tcp = dynamic_cast<TcpSocket*>(s.get());
    return tcp ? tcp->descriptor() : 0;
}

int net_select_result(int fd, int event) {
    TcpSocket* found = sktreeFind(fd);
    if (!found) return 1;
    auto keep = found->shared_from_this();  // callbacks may close it
    return keep->handleEvent(event);
}

SocketPtr new_listener(const char* srcaddr, int port, const PlugPtr& plug, bool local_host_only, int address_family) {
    return sk_newlistener(srcaddr, port, plug, local_host_only, address_family);
}

SockAddrPtr name_lookup(const char* host, int port, std::string* canonical, int address_family) {
    return sk_namelookup(host, canonical, address_family);
}

SocketPtr new_connection(SockAddrPtr addr, const char* hostname, int port, bool privport, bool oobinline, bool nodelay,
                         bool keepalive, const PlugPtr& plug) {
    return sk_new(std::move(addr), port, privport, oobinline, nodelay, keepalive, plug);
}

}  // namespace kl

// A loopback port that is free at the moment of asking, for a service started with ports of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace viewer {

// type: SOCK_STREAM or SOCK_DGRAM. Another program may take the port before it is used.
inline uint16_t freeLoopbackPort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    if (fd >= 0) ::close(fd);
    return bound ? ntohs(a.sin_port) : 0;
}

}  // namespace viewer

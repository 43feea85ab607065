// Client sockets owned by a chosen user, for tests of who may connect.
#pragma once

#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "screen/server/LoopbackPeerOwner.h"

namespace kl::test {

// A TCP socket of the family belonging to owner: a socket belongs to the file-system user of the
// thread that creates it (posing as another user needs root).
inline int socketOwnedBy(int family, uid_t owner) {
    int fd = -1;
    std::thread([&] {
        uid_t previous = ::setfsuid(owner);
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setfsuid(previous);
    }).join();
    return fd;
}

}  // namespace kl::test

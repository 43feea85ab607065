// Where local services live and how their sockets are opened: the socket path of a service name,
// the listening socket (passed in by systemd, or bound here with a stale-socket check), the
// connecting socket of a client, and the peer's credentials from SO_PEERCRED.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace kl::ipc {

// Overrides the folder of every service socket (tests, or a system without /var/run).
inline constexpr const char* kSocketDirEnvironment = "KLIPC_SOCKET_DIR";

struct PeerCredentials {
    pid_t pid = 0;
    uid_t euid = uid_t(-1);
    gid_t egid = gid_t(-1);
};

// Names a socket file can carry: not empty, no "/", not "." or "..", no NUL.
bool isValidServiceName(std::string_view name);

// $KLIPC_SOCKET_DIR/<name> when the variable is set, else /var/run/<name> under the system root.
std::filesystem::path socketPathForService(std::string_view name);

// The credentials of the process at the other end of a connected AF_UNIX socket.
Result<PeerCredentials> peerCredentials(int fd);

// A listening socket and what closing it must undo.
class ListeningSocket {
public:
    ListeningSocket() = default;
    ListeningSocket(int fd, std::filesystem::path boundPath, ino_t inode, bool activated);
    ListeningSocket(ListeningSocket&& other) noexcept;
    ListeningSocket& operator=(ListeningSocket&& other) noexcept;
    ~ListeningSocket();

    int fd() const { return fd_; }
    bool activated() const { return activated_; }
    const std::filesystem::path& path() const { return path_; }
    // Closes the socket and removes the file it was bound to, unless another listener has replaced
    // it meanwhile. Sockets passed in by systemd stay with systemd.
    void close();

private:
    int fd_ = -1;
    std::filesystem::path path_;
    ino_t inode_ = 0;
    bool activated_ = false;
};

// The listening socket of a service: the one systemd passed (LISTEN_PID/LISTEN_FDS, preferring the
// one whose LISTEN_FDNAMES entry is the service name), else one bound at socketPathForService().
// A socket file that nothing answers on is stale and replaced; one that answers belongs to another
// listener and is an error, and so is a file there that is not a socket.
Result<ListeningSocket> openListeningSocket(std::string_view name);

// A new non-blocking, close-on-exec AF_UNIX stream socket.
Result<int> makeStreamSocket();
// One connect attempt of a non-blocking socket to path: 0 when connected, else the errno (EAGAIN
// when the listener's backlog is full and the attempt may be repeated).
int connectToPath(int fd, const std::filesystem::path& path);

}  // namespace kl::ipc

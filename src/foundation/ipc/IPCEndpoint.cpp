#include "foundation/ipc/IPCEndpoint.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace kl::ipc {
namespace {

constexpr int kFirstActivatedFd = 3;  // systemd passes sockets from descriptor 3 on
constexpr int kListenBacklog = 128;

Error endpointError(int err, const std::string& what) { return posixError(err, what); }

bool fillAddress(const std::filesystem::path& path, sockaddr_un& addr, socklen_t& length) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    length = socklen_t(offsetof(sockaddr_un, sun_path) + text.size() + 1);
    return true;
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) != 0) return -1;
    return value;
}

bool isListeningUnixStream(int fd) {
    return intOption(fd, SOL_SOCKET, SO_DOMAIN) == AF_UNIX && intOption(fd, SOL_SOCKET, SO_TYPE) == SOCK_STREAM &&
           intOption(fd, SOL_SOCKET, SO_ACCEPTCONN) == 1;
}

std::vector<std::string> splitColons(const char* text) {
    std::vector<std::string> parts;
    if (!text) return parts;
    std::string current;
    for (const char* p = text;; ++p) {
        if (*p == ':' || *p == '\0') {
            parts.push_back(current);
            current.clear();
            if (*p == '\0') break;
        } else {
            current.push_back(*p);
        }
    }
    return parts;
}

// Each descriptor systemd passed is handed to one listener only.
std::mutex gActivatedMutex;
std::set<int> gClaimedFds;

int claimActivatedSocket(std::string_view name) {
    const char* pidText = std::getenv("LISTEN_PID");
    const char* countText = std::getenv("LISTEN_FDS");
    if (!pidText || !countText) return -1;
    char* end = nullptr;
    long pid = std::strtol(pidText, &end, 10);
    if (*end != '\0' || pid != long(::getpid())) return -1;
    long count = std::strtol(countText, &end, 10);
    if (*end != '\0' || count <= 0 || count > 1024) return -1;
    std::vector<std::string> names = splitColons(std::getenv("LISTEN_FDNAMES"));

    std::lock_guard lock(gActivatedMutex);
    int chosen = -1;
    for (int i = 0; i < int(count); ++i) {
        int fd = kFirstActivatedFd + i;
        if (gClaimedFds.count(fd) || !isListeningUnixStream(fd)) continue;
        bool named = size_t(i) < names.size() && names[size_t(i)] == name;
        if (named) {
            chosen = fd;
            break;
        }
        if (chosen < 0) chosen = fd;
    }
    if (chosen < 0) return -1;
    gClaimedFds.insert(chosen);
    ::fcntl(chosen, F_SETFD, FD_CLOEXEC);
    ::fcntl(chosen, F_SETFL, ::fcntl(chosen, F_GETFL) | O_NONBLOCK);
    return chosen;
}

// Serialises the stale check and the bind between processes starting at the same time.
class BindLock {
public:
    explicit BindLock(const std::filesystem::path& socketPath) {
        std::string lockPath = socketPath.native() + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~BindLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    BindLock(const BindLock&) = delete;
    BindLock& operator=(const BindLock&) = delete;

private:
    int fd_ = -1;
};

// Whether a listener answers at path: a connect that succeeds or finds the backlog full.
bool somethingAnswers(const std::filesystem::path& path) {
    auto probe = makeStreamSocket();
    if (!probe) return false;
    int err = connectToPath(*probe, path);
    ::close(*probe);
    return err == 0 || err == EAGAIN;
}

Result<ListeningSocket> bindListeningSocket(std::string_view name) {
    std::filesystem::path path = socketPathForService(name);
    sockaddr_un addr;
    socklen_t addrLength;
    if (!fillAddress(path, addr, addrLength)) return endpointError(ENAMETOOLONG, "socket path " + path.native());
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);

    BindLock lock(path);
    auto fd = makeStreamSocket();
    if (!fd) return fd.error();
    if (::bind(*fd, reinterpret_cast<const sockaddr*>(&addr), addrLength) != 0) {
        int err = errno;
        struct stat st;
        if (err != EADDRINUSE || ::lstat(path.c_str(), &st) != 0) {
            ::close(*fd);
            return endpointError(err, "bind " + path.native());
        }
        if (!S_ISSOCK(st.st_mode)) {
            ::close(*fd);
            return endpointError(EEXIST, path.native() + " exists and is not a socket; left alone");
        }
        if (somethingAnswers(path)) {
            ::close(*fd);
            return endpointError(EADDRINUSE, "another listener answers on " + path.native());
        }
        KLLog(kKLTLoggingLevelInfo, "klipc: removing stale socket %s", path.c_str());
        ::unlink(path.c_str());
        if (::bind(*fd, reinterpret_cast<const sockaddr*>(&addr), addrLength) != 0) {
            err = errno;
            ::close(*fd);
            return endpointError(err, "bind " + path.native());
        }
    }
    // Control apps of every user connect to the daemon's socket; who may do what is decided per
    // command from the peer's credentials, not by the file's mode.
    ::chmod(path.c_str(), 0666);
    struct stat st {};
    ::stat(path.c_str(), &st);
    if (::listen(*fd, kListenBacklog) != 0) {
        int err = errno;
        ::close(*fd);
        ::unlink(path.c_str());
        return endpointError(err, "listen " + path.native());
    }
    return ListeningSocket(*fd, path, st.st_ino, false);
}

}  // namespace

bool isValidServiceName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::filesystem::path socketPathForService(std::string_view name) {
    const char* dir = std::getenv(kSocketDirEnvironment);
    std::filesystem::path folder = (dir && *dir) ? std::filesystem::path(dir) : paths::system("/var/run");
    return folder / std::string(name);
}

Result<PeerCredentials> peerCredentials(int fd) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return endpointError(errno, "SO_PEERCRED");
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

Result<int> makeStreamSocket() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return endpointError(errno, "socket");
    return fd;
}

int connectToPath(int fd, const std::filesystem::path& path) {
    sockaddr_un addr;
    socklen_t length;
    if (!fillAddress(path, addr, length)) return ENAMETOOLONG;
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

Result<ListeningSocket> openListeningSocket(std::string_view name) {
    int activated = claimActivatedSocket(name);
    if (activated >= 0) return ListeningSocket(activated, {}, 0, true);
    return bindListeningSocket(name);
}

ListeningSocket::ListeningSocket(int fd, std::filesystem::path boundPath, ino_t inode, bool activated)
    : fd_(fd), path_(std::move(boundPath)), inode_(inode), activated_(activated) {}

ListeningSocket::ListeningSocket(ListeningSocket&& other) noexcept { *this = std::move(other); }

ListeningSocket& ListeningSocket::operator=(ListeningSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        other.path_.clear();
        inode_ = other.inode_;
        activated_ = other.activated_;
    }
    return *this;
}

ListeningSocket::~ListeningSocket() { close(); }

void ListeningSocket::close() {
    if (fd_ < 0) return;
    if (!activated_ && !path_.empty()) {
        struct stat st;
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode_) ::unlink(path_.c_str());
    }
    if (activated_) {
        // Released so that a listener created later in this process may take it again.
        std::lock_guard lock(gActivatedMutex);
        gClaimedFds.erase(fd_);
    } else {
        ::close(fd_);
    }
    fd_ = -1;
}

}  // namespace kl::ipc

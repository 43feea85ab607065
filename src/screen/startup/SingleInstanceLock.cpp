#include "screen/startup/SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Paths.h"

namespace kl {

std::unique_ptr<SingleInstanceLock> SingleInstanceLock::acquire(const std::filesystem::path& path,
                                                                bool* heldElsewhere) {
    if (heldElsewhere) *heldElsewhere = false;
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (heldElsewhere) *heldElsewhere = errno == EWOULDBLOCK;
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SingleInstanceLock>(new SingleInstanceLock(fd));
}

std::filesystem::path SingleInstanceLock::pathForProgram(const std::string& name) {
    // The session's folder even for root: one instance per session, not per machine.
    const char* session = std::getenv("XDG_RUNTIME_DIR");
    std::filesystem::path folder = session && *session == '/' ? std::filesystem::path(session) : paths::runtimeDir();
    return folder / (name + ".lock");
}

SingleInstanceLock::~SingleInstanceLock() { ::close(fd_); }

}  // namespace kl

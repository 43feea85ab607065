#include "screen/startup/ConnectionRequestFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Paths.h"

namespace kl {

std::filesystem::path connectionRequestFile() { return paths::system("/tmp/com.kelvaro.portweaver.service"); }

std::string readConnectionRequest(const std::filesystem::path& path, size_t maxBytes) {
    // O_NONBLOCK: a FIFO planted at the path must not hold the main loop.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {};
    std::string text;
    struct stat info{};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        text.resize(maxBytes);
        size_t filled = 0;
        while (filled < maxBytes) {
            ssize_t n = ::read(fd, text.data() + filled, maxBytes - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            filled += size_t(n);
        }
        text.resize(filled);
    }
    ::close(fd);
    return text;
}

}  // namespace kl

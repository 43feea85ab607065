#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace kl {

Error posixError(int err, std::string_view what) {
    return Error::withDescription(kPosixErrorDomain, err, std::string(what) + ": " + std::strerror(err));
}

namespace {

Result<bool> makeParents(const std::filesystem::path& dir, mode_t dirMode) {
    if (dir.empty()) return true;
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) return true;
    if (auto parent = makeParents(dir.parent_path(), dirMode); !parent.ok()) return parent;
    if (::mkdir(dir.c_str(), dirMode) != 0 && errno != EEXIST) return posixError(errno, "mkdir " + dir.string());
    // mkdir honours the umask; the caller's mode is what it asked for.
    ::chmod(dir.c_str(), dirMode);
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(size_t(n));
    }
    return true;
}

}  // namespace

Result<bool> writeFileAtomically(const std::filesystem::path& target, std::string_view data, mode_t fileMode,
                                 mode_t dirMode) {
    if (auto parents = makeParents(target.parent_path(), dirMode); !parents.ok()) return parents.error();
    std::random_device rd;
    std::string tmp = target.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, fileMode);
    if (fd < 0) return posixError(errno, "open " + tmp);
    ::fchmod(fd, fileMode);
    bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(tmp.c_str());
        return posixError(err, "write " + tmp);
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        err = errno;
        ::unlink(tmp.c_str());
        return posixError(err, "rename to " + target.string());
    }
    return true;
}

Result<std::string> readFile(const std::filesystem::path& file, size_t maxBytes) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return posixError(errno, "open " + file.string());
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return posixError(err, "read " + file.string());
        }
        if (n == 0) break;
        if (out.size() + size_t(n) > maxBytes) {
            ::close(fd);
            return posixError(EFBIG, "read " + file.string());
        }
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return out;
}

}  // namespace kl

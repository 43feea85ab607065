#include "controlapp/desktop/FreedesktopTrash.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "foundation/KLTLogging.h"
#include "platform/Files.h"

namespace kl {

namespace fs = std::filesystem;

namespace {

fs::path trashFolder() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return fs::path(xdg) / "Trash";
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] == '/' ? home : "/") / ".local/share/Trash";
}

// Path= of a .trashinfo is a URL-escaped absolute path.
std::string escapePath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-_.~", c)) {
            out += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool trash(const fs::path& path) {
    const fs::path trash = trashFolder();
    std::error_code error;
    fs::create_directories(trash / "files", error);
    fs::create_directories(trash / "info", error);
    std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", std::localtime(&now));
    const std::string record = "[Trash Info]\nPath=" + escapePath(fs::absolute(path).lexically_normal().string()) +
                               "\nDeletionDate=" + date + "\n";
    // The .trashinfo is created exclusively first: it reserves the name.
    for (int attempt = 1; attempt < 1000; ++attempt) {
        std::string name = path.filename().string();
        if (attempt > 1) name += "." + std::to_string(attempt);
        const fs::path info = trash / "info" / (name + ".trashinfo");
        int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        bool written = ::write(fd, record.data(), record.size()) == ssize_t(record.size());
        ::close(fd);
        const fs::path target = trash / "files" / name;
        if (written) {
            fs::rename(path, target, error);
            if (error && error.value() == EXDEV) {
                // Another file system: copy, then remove the original.
                error.clear();
                fs::copy(path, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
                if (error) {
                    std::error_code ignored;
                    fs::remove_all(target, ignored);
                } else {
                    // The copy in the Trash stays even when the original cannot be removed whole.
                    fs::remove_all(path, error);
                    if (error) return false;
                }
            }
            if (!error) return true;
        }
        fs::remove(info, error);
        return false;
    }
    return false;
}

}  // namespace

bool moveToTrash(const fs::path& path) {
    if (trash(path)) return true;
    KLLog(kKLTLoggingLevelError, "ERROR -- Could not trash '%s'", path.c_str());
    return false;
}

}  // namespace kl

#include "platform/CrashReporter.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kl {

namespace fs = std::filesystem;

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr const char* kNewSuffix = ".new";
constexpr const char* kLoggedSuffix = ".crash";
constexpr int kMaxFrames = 64;

// Written once by install() before any handler is in place, read only by the handler.
int gFolderFd = -1;
char gHeader[512];
size_t gHeaderLength = 0;
std::atomic<bool> gInstalled{false};
std::atomic<bool> gReporting{false};

// Decimal or hexadecimal digits into a buffer, no allocation.
size_t formatUnsigned(char* out, unsigned long long value, unsigned base, size_t minDigits = 1) {
    char digits[32];
    size_t n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (n < minDigits) digits[n++] = '0';
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

void writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written <= 0) return;
        data += written;
        length -= size_t(written);
    }
}

void writeText(int fd, const char* text) { writeAll(fd, text, std::strlen(text)); }

const char* signalName(int signal) {
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

void handleCrash(int signal, siginfo_t* info, void*) {
    // A second crash while reporting (or in another thread) only dies.
    if (!gReporting.exchange(true)) {
        char name[64];
        size_t n = 0;
        std::memcpy(name + n, "crash-", 6);
        n += 6;
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        n += formatUnsigned(name + n, (unsigned long long)now.tv_sec, 10, 12);
        name[n++] = '-';
        n += formatUnsigned(name + n, (unsigned long long)::getpid(), 10);
        std::memcpy(name + n, kNewSuffix, std::strlen(kNewSuffix) + 1);
        int fd = ::openat(gFolderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            writeAll(fd, gHeader, gHeaderLength);
            char line[96];
            size_t m = 0;
            std::memcpy(line, "Signal: ", 8);
            m = 8;
            m += formatUnsigned(line + m, (unsigned long long)signal, 10);
            line[m++] = ' ';
            line[m++] = '(';
            writeAll(fd, line, m);
            writeText(fd, signalName(signal));
            writeText(fd, ")\nAddress: 0x");
            m = formatUnsigned(line, (unsigned long long)(uintptr_t)(info ? info->si_addr : nullptr), 16);
            line[m++] = '\n';
            writeAll(fd, line, m);
            writeText(fd, "Backtrace:\n");
            void* frames[kMaxFrames];
            int count = ::backtrace(frames, kMaxFrames);
            ::backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    // SA_RESETHAND put the default action back: the re-raised signal is delivered as soon as this
    // handler returns (and a fault would recur on return anyway).
    ::raise(signal);
}

fs::path stateHome() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] == '/' ? home : "/") / ".local/state";
}

bool hasSuffix(const std::string& name, const char* suffix) {
    size_t n = std::strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0 && name.rfind("crash-", 0) == 0;
}

}  // namespace

fs::path CrashReporter::defaultFolder(const std::string& identifier) {
    return stateHome() / identifier / "crashes";
}

bool CrashReporter::install(const std::string& identifier, const std::string& version, const fs::path& folder) {
    if (gInstalled.exchange(true)) return false;
    std::error_code error;
    fs::create_directories(folder, error);
    gFolderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gFolderFd < 0) {
        gInstalled = false;
        return false;
    }
    int length = std::snprintf(gHeader, sizeof gHeader, "Identifier: %s\nVersion: %s\n", identifier.c_str(),
                               version.c_str());
    gHeaderLength = length < 0 ? 0 : std::min(size_t(length), sizeof gHeader - 1);

    // backtrace() loads its unwinder on first use, which allocates: do that now, not in a handler.
    void* warmUp[2];
    ::backtrace(warmUp, 2);

    // A stack overflow leaves no stack to run the handler on.
    static char alternateStack[64 * 1024];
    stack_t stack {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = handleCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
    return true;
}

std::vector<fs::path> CrashReporter::logNewReports(const fs::path& folder) {
    std::vector<fs::path> logged;
    std::vector<fs::path> kept;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (hasSuffix(name, kNewSuffix)) {
            fs::path done = it->path();
            done.replace_extension(kLoggedSuffix);
            std::fprintf(stderr, "The previous run crashed; its report is in %s\n", done.c_str());
            std::error_code renameError;
            fs::rename(it->path(), done, renameError);
            if (renameError) continue;
            logged.push_back(done);
            kept.push_back(done);
        } else if (hasSuffix(name, kLoggedSuffix)) {
            kept.push_back(it->path());
        }
    }
    // Names carry the time first (fixed width), so the last ones are the newest.
    std::sort(kept.begin(), kept.end());
    for (size_t i = 0; i + kKeptReports < kept.size(); ++i) fs::remove(kept[i], error);
    std::sort(logged.begin(), logged.end());
    return logged;
}

}  // namespace kl

#include "tunnel/sockcore/SafeMemory.h"

#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/KLTLogging.h"

namespace kl {
namespace {

[[noreturn]] void outOfMemory() {
    modalfatalbox("Out of memory!");
    throw std::bad_alloc();
}

size_t checkedTotal(size_t n, size_t size) {
    KLAssert(size != 0, "safemalloc: element size must not be 0");
    if (size == 0) size = 1;
    if (n > size_t(INT_MAX) / size) outOfMemory();
    return n * size;
}

void logFormatted(const char* fmt, va_list args) {
    char* message = dupvprintf(fmt, args);
    KLLog(kKLTLoggingLevelError, "%s", message);
    safefree(message);
}

}  // namespace

void* safemalloc(size_t n, size_t size) {
    size_t total = checkedTotal(n, size);
    void* p = std::malloc(total ? total : 1);
    if (!p) outOfMemory();
    return p;
}

void* saferealloc(void* ptr, size_t n, size_t size) {
    size_t total = checkedTotal(n, size);
    void* p = ptr ? std::realloc(ptr, total ? total : 1) : std::malloc(total ? total : 1);
    if (!p) outOfMemory();
    return p;
}

void safefree(void* ptr) {
    if (ptr) std::free(ptr);
}

char* dupstr(const char* s) {
    if (!s) return nullptr;
    size_t len = std::strlen(s);
    auto* copy = static_cast<char*>(safemalloc(len + 1, 1));
    std::memcpy(copy, s, len + 1);
    return copy;
}

char* dupvprintf(const char* fmt, va_list args) {
    size_t size = 512;
    auto* buf = static_cast<char*>(safemalloc(size, 1));
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int len = std::vsnprintf(buf, size, fmt, copy);
        va_end(copy);
        if (len >= 0 && size_t(len) < size) return buf;
        // The formatter says how much it needs; an old one that does not gets 512 bytes more.
        size = len >= 0 ? size_t(len) + 1 : size + 512;
        buf = static_cast<char*>(saferealloc(buf, size, 1));
    }
}

char* dupprintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char* result = dupvprintf(fmt, args);
    va_end(args);
    return result;
}

int cloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) return -1;
    return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void fatalbox(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    logFormatted(fmt, args);
    va_end(args);
}

void modalfatalbox(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    logFormatted(fmt, args);
    va_end(args);
}

}  // namespace kl

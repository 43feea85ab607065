// Allocation, string and descriptor helpers used throughout the socket core.
//
// Allocation never returns null: a failed allocation, or a request whose total would exceed
// 2147483647 bytes, is reported as "Out of memory!" through modalfatalbox and then thrown as
// std::bad_alloc, so no caller goes on with a null block.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kl {

// n * size bytes (a zero total still gives a 1-byte block); free with safefree.
void* safemalloc(size_t n, size_t size);
// Resizes ptr to n * size bytes; allocates when ptr is null.
void* saferealloc(void* ptr, size_t n, size_t size);
// Frees a block of safemalloc or saferealloc; ignores null.
void safefree(void* ptr);

// A copy of s in a new block (safefree it); null for null.
char* dupstr(const char* s);
// Formatted text in a new block (safefree it).
char* dupprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
char* dupvprintf(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));

// Sets close-on-exec on fd; returns -1 when its flags cannot be read or set.
int cloexec(int fd);

// Write a formatted failure message to the application log at error level. They do not end the
// process; the caller decides what happens next.
void fatalbox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void modalfatalbox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kl

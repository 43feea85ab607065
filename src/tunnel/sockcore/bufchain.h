// The socket core's output queue: a chain of 512-byte granules, each filled to the brim before the
// next is started, so a stream of small writes costs one allocation per 512 bytes.
#pragma once

#include <sys/uio.h>

#include <cstddef>

namespace kl {

inline constexpr int BUFFER_GRANULE = 512;

struct bufchain_granule {
    bufchain_granule* next;
    int buflen;  // bytes stored
    int bufpos;  // bytes already consumed
    char buf[BUFFER_GRANULE];
};

// Invariant: buffersize is the sum of buflen - bufpos over the granules; an empty chain has null
// head and tail. The chain frees its granules when destroyed.
struct bufchain {
    bufchain_granule* head = nullptr;
    bufchain_granule* tail = nullptr;
    size_t buffersize = 0;

    bufchain() = default;
    ~bufchain();
    bufchain(const bufchain&) = delete;
    bufchain& operator=(const bufchain&) = delete;
};

void bufchain_init(bufchain* ch);
// Frees every granule; the size becomes 0.
void bufchain_clear(bufchain* ch);
size_t bufchain_size(const bufchain* ch);
// Appends len bytes, topping up the tail granule first.
void bufchain_add(bufchain* ch, const void* data, size_t len);
// The unconsumed bytes of the head granule; the chain must not be empty.
void bufchain_prefix(bufchain* ch, void** data, int* len);
// Drops len bytes from the front (at most the chain's size), freeing emptied granules.
void bufchain_consume(bufchain* ch, size_t len);
// Copies len bytes (at most the chain's size) from the front without consuming them.
void bufchain_fetch(const bufchain* ch, void* data, size_t len);
// Describes the front of the chain, one iovec per granule, for a gathering send; returns how many
// of the max entries were filled.
int bufchain_iovecs(const bufchain* ch, struct iovec* iov, int max);

}  // namespace kl

// Reusable byte buffers for handing a local connection's reads to its channel's send queue.
//
// Each read of a busy connection used to become a fresh allocation of up to 200 KiB, freed on
// another thread once sent: the allocator kept handing such blocks back to the system and taking
// them again, so every read paid for page faults on top of its copy. A buffer from here keeps its
// memory (grown to the largest read it carried) and goes back to the pool when its last user lets
// go of it. Thread-safe; the pool keeps at most `keep` idle buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/Value.h"

namespace kl {

class TunnexBufferPool : public std::enable_shared_from_this<TunnexBufferPool> {
    struct Private {};

public:
    static std::shared_ptr<TunnexBufferPool> create(size_t keep);
    TunnexBufferPool(Private, size_t keep) : keep_(keep) {}

    // A buffer holding a copy of data; it returns to the pool (or is freed, once the pool is
    // gone or full) when its last reference goes.
    std::shared_ptr<Bytes> copyOf(std::span<const uint8_t> data);

    size_t idleBuffers() const;

private:
    void giveBack(std::unique_ptr<Bytes> buffer);

    const size_t keep_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Bytes>> idle_;  // guarded by mutex_
};

}  // namespace kl

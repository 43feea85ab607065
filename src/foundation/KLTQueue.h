// KLTQueue: a bounded first-in-first-out list that forgets its oldest entries when full. Safe to use
// from any thread; every operation is serialised by one lock (the serial queue of the original).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace kl {

template <class T>
class KLTQueue {
public:
    // Nothing for a capacity of 0.
    static std::unique_ptr<KLTQueue> initWithCount(uint64_t capacity) {
        if (capacity == 0) return nullptr;
        return std::unique_ptr<KLTQueue>(new KLTQueue(capacity));
    }

    // Drops the oldest entries until there is room, then appends. Null pointers are ignored.
    void pushObject(T object) {
        if constexpr (std::is_constructible_v<bool, const T&> && !std::is_arithmetic_v<T>) {
            if (!object) return;
        }
        std::lock_guard lock(mutex_);
        // A lowered capacity takes effect here, dropping as many old entries as needed.
        size_t excess = entries_.size() + 1 > capacity_ ? entries_.size() + 1 - size_t(capacity_) : 0;
        entries_.erase(entries_.begin(), entries_.begin() + std::min(excess, entries_.size()));
        entries_.push_back(std::move(object));
    }

    // A copy of the entries, oldest first.
    std::vector<T> queueArray() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    size_t count() const {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

    uint64_t capacity() const {
        std::lock_guard lock(mutex_);
        return capacity_;
    }
    // A capacity of 0 is kept at 1: the queue always keeps the newest entry.
    void setCapacity(uint64_t capacity) {
        std::lock_guard lock(mutex_);
        capacity_ = capacity ? capacity : 1;
    }

private:
    explicit KLTQueue(uint64_t capacity) : capacity_(capacity) {
        entries_.reserve(size_t(std::min<uint64_t>(capacity, 1024)));
    }

    mutable std::mutex mutex_;
    uint64_t capacity_;
    std::vector<T> entries_;
};

}  // namespace kl

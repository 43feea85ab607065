// kl::Signal: a typed in-process notification. emit() calls every connected slot synchronously on
// the emitter's thread; where a notification must arrive on the main loop, the slot posts there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kl {

template <class... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;
    using Id = uint64_t;

    Id connect(Slot slot) {
        std::lock_guard lock(mutex_);
        Id id = ++lastId_;
        slots_.push_back({id, std::make_shared<Slot>(std::move(slot))});
        return id;
    }

    // After disconnect returns, the slot is not called by emits that start later.
    void disconnect(Id id) {
        std::lock_guard lock(mutex_);
        std::erase_if(slots_, [id](const Entry& e) { return e.id == id; });
    }

    void disconnectAll() {
        std::lock_guard lock(mutex_);
        slots_.clear();
    }

    // Slots are called outside the lock, so a slot may connect, disconnect or emit again.
    void emit(Args... args) const {
        std::vector<std::shared_ptr<Slot>> current;
        {
            std::lock_guard lock(mutex_);
            current.reserve(slots_.size());
            for (const auto& e : slots_) current.push_back(e.slot);
        }
        for (const auto& slot : current) (*slot)(args...);
    }

    size_t size() const {
        std::lock_guard lock(mutex_);
        return slots_.size();
    }

private:
    struct Entry {
        Id id;
        std::shared_ptr<Slot> slot;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> slots_;
    Id lastId_ = 0;
};

}  // namespace kl

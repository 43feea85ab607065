// Copy-out reads and moved-in writes of fields that one mutex guards, for records that several
// threads share. A record derives from it and keeps its fields private.
#pragma once

#include <mutex>
#include <utility>

namespace kl {

class GuardedFields {
protected:
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(fieldsMutex_);
        return field;
    }
    template <class T>
    void set(T& field, T value) {
        std::lock_guard lock(fieldsMutex_);
        field = std::move(value);
    }
    // For changes of several fields at once.
    std::mutex& fieldsMutex() const { return fieldsMutex_; }

private:
    mutable std::mutex fieldsMutex_;
};

}  // namespace kl

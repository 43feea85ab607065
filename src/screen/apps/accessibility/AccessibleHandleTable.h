// Opaque 64-bit handles for accessibility elements, never their addresses: an element seen again
// (same identity) keeps its handle, 0 is never given, and an unknown handle finds nothing. The
// table holds a reference on each element; it is emptied when it grows past its capacity, after
// which old handles find nothing and the viewer's next update brings new ones.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace kl {

class AccessibleHandleTable {
public:
    explicit AccessibleHandleTable(size_t capacity = 1 << 16) : capacity_(capacity) {}

    uint64_t handleFor(const std::string& identity, std::shared_ptr<void> element) {
        if (auto it = byIdentity_.find(identity); it != byIdentity_.end()) return it->second;
        if (elements_.size() >= capacity_) {
            elements_.clear();
            byIdentity_.clear();
        }
        const uint64_t handle = ++lastHandle_;
        elements_[handle] = std::move(element);
        byIdentity_[identity] = handle;
        return handle;
    }
    // The element, or null.
    void* element(uint64_t handle) const {
        auto it = elements_.find(handle);
        return it == elements_.end() ? nullptr : it->second.get();
    }
    size_t size() const { return elements_.size(); }

private:
    size_t capacity_;
    uint64_t lastHandle_ = 0;
    std::map<uint64_t, std::shared_ptr<void>> elements_;
    std::map<std::string, uint64_t> byIdentity_;
};

}  // namespace kl

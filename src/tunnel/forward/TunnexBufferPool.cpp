#include "tunnel/forward/TunnexBufferPool.h"

namespace kl {

std::shared_ptr<TunnexBufferPool> TunnexBufferPool::create(size_t keep) {
    return std::make_shared<TunnexBufferPool>(Private{}, keep);
}

std::shared_ptr<Bytes> TunnexBufferPool::copyOf(std::span<const uint8_t> data) {
    std::unique_ptr<Bytes> buffer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!idle_.empty()) {
            buffer = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!buffer) buffer = std::make_unique<Bytes>();
    buffer->assign(data.begin(), data.end());  // within its capacity: no allocation
    std::weak_ptr<TunnexBufferPool> weak = weak_from_this();
    return std::shared_ptr<Bytes>(buffer.release(), [weak](Bytes* used) {
        std::unique_ptr<Bytes> owned(used);
        if (auto pool = weak.lock()) pool->giveBack(std::move(owned));
    });
}

void TunnexBufferPool::giveBack(std::unique_ptr<Bytes> buffer) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (idle_.size() < keep_) idle_.push_back(std::move(buffer));
}

size_t TunnexBufferPool::idleBuffers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return idle_.size();
}

}  // namespace kl

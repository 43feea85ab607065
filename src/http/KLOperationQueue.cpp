#include "http/KLOperationQueue.h"

#include <algorithm>

namespace kl {

void KLOperationQueue::addOperation(const std::shared_ptr<KLURLConnectionOperation>& operation) {
    if (!operation) return;
    {
        std::lock_guard guard(lock_);
        if (std::find(operations_.begin(), operations_.end(), operation) != operations_.end()) return;
        operations_.push_back(operation);
    }
    std::weak_ptr<KLOperationQueue> weakQueue = weak_from_this();
    const KLURLConnectionOperation* key = operation.get();
    operation->stateDidChange().connect([weakQueue, key](KLOperationState, KLOperationState newState) {
        if (newState != KLOperationFinishedState) return;
        if (auto queue = weakQueue.lock()) queue->remove(key);
    });
    // An operation that finished before the observer was in place leaves at once.
    if (operation->isFinished()) remove(key);
    else operation->start();
}

void KLOperationQueue::remove(const KLURLConnectionOperation* operation) {
    std::shared_ptr<KLURLConnectionOperation> removed;  // released outside the lock
    std::lock_guard guard(lock_);
    auto it = std::find_if(operations_.begin(), operations_.end(), [operation](const auto& op) { return op.get() == operation; });
    if (it == operations_.end()) return;
    removed = std::move(*it);
    operations_.erase(it);
}

std::vector<std::shared_ptr<KLURLConnectionOperation>> KLOperationQueue::operations() const {
    std::lock_guard guard(lock_);
    return operations_;
}

size_t KLOperationQueue::operationCount() const {
    std::lock_guard guard(lock_);
    return operations_.size();
}

void KLOperationQueue::cancelAllOperations() {
    for (const auto& operation : operations()) operation->cancel();
}

}  // namespace kl

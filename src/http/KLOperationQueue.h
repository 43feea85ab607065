// KLOperationQueue: the client's queue of operations. With no limit on concurrency every operation
// starts as soon as it is added (its connection runs on the network thread, so starting never
// blocks) and leaves the queue when it finishes. Safe to use from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "http/KLURLConnectionOperation.h"

namespace kl {

class KLOperationQueue : public std::enable_shared_from_this<KLOperationQueue> {
public:
    static std::shared_ptr<KLOperationQueue> create() { return std::shared_ptr<KLOperationQueue>(new KLOperationQueue()); }

    void addOperation(const std::shared_ptr<KLURLConnectionOperation>& operation);
    // The operations not yet finished, in the order they were added.
    std::vector<std::shared_ptr<KLURLConnectionOperation>> operations() const;
    size_t operationCount() const;
    void cancelAllOperations();

private:
    KLOperationQueue() = default;
    void remove(const KLURLConnectionOperation* operation);

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<KLURLConnectionOperation>> operations_;  // guarded by lock_
};

}  // namespace kl

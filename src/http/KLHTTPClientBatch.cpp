// Batches of operations: one progress report per completed operation, one completion at the end.
#include <mutex>

#include "http/KLHTTPClient.h"
#include "platform/Executors.h"

namespace kl {
namespace {

struct BatchState {
    std::mutex lock;
    size_t completed = 0;  // guarded by lock
    std::vector<std::shared_ptr<KLHTTPRequestOperation>> operations;
    KLHTTPClient::BatchProgressBlock progress;
    KLHTTPClient::BatchCompletionBlock completion;
};

void finishBatch(const std::shared_ptr<BatchState>& state) {
    mainLoop().post([state] {
        if (state->completion) state->completion(state->operations);
    });
}

}  // namespace

void KLHTTPClient::enqueueBatchOfHTTPRequestOperations(const std::vector<std::shared_ptr<KLHTTPRequestOperation>>& operations,
                                                       BatchProgressBlock progress, BatchCompletionBlock completion) {
    auto state = std::make_shared<BatchState>();
    state->operations = operations;
    state->progress = std::move(progress);
    state->completion = std::move(completion);
    if (operations.empty()) {
        finishBatch(state);
        return;
    }
    for (const auto& operation : operations) {
        auto kept = operation->completionBlock();
        std::weak_ptr<KLHTTPRequestOperation> weak = operation;
        // The operation drops its completion block when it finishes, which also ends the cycle
        // between it and the batch state.
        operation->setCompletionBlock([state, kept, weak] {
            auto op = weak.lock();
            KLCallbackQueue queue = op ? op->successCallbackQueue() : nullptr;
            Task report = [state, kept] {
                if (kept) kept();
                size_t completed;
                {
                    std::lock_guard guard(state->lock);
                    completed = ++state->completed;
                }
                size_t total = state->operations.size();
                if (state->progress) state->progress(completed, total);
                if (completed == total) finishBatch(state);
            };
            if (queue) queue(std::move(report));
            else mainLoop().post(std::move(report));
        });
    }
    for (const auto& operation : operations) enqueueHTTPRequestOperation(operation);
}

void KLHTTPClient::enqueueBatchOfHTTPRequestOperationsWithRequests(const std::vector<KLURLRequest>& requests,
                                                                   BatchProgressBlock progress, BatchCompletionBlock completion) {
    std::vector<std::shared_ptr<KLHTTPRequestOperation>> operations;
    operations.reserve(requests.size());
    for (const auto& request : requests) operations.push_back(HTTPRequestOperationWithRequest(request, nullptr, nullptr));
    enqueueBatchOfHTTPRequestOperations(operations, std::move(progress), std::move(completion));
}

}  // namespace kl

#include "http/KLPropertyListRequestOperation.h"

#include <cstring>

#include "platform/Executors.h"
#include "platform/ValuePlist.h"

namespace kl {
namespace {

bool isBinaryPropertyList(const Bytes& data) { return data.size() >= 6 && std::memcmp(data.data(), "bplist", 6) == 0; }

}  // namespace

std::shared_ptr<KLPropertyListRequestOperation> KLPropertyListRequestOperation::operationWithRequest(KLURLRequest request) {
    return std::make_shared<KLPropertyListRequestOperation>(std::move(request));
}

KLPropertyListRequestOperation::KLPropertyListRequestOperation(KLURLRequest request) : KLHTTPResponseOperation(std::move(request)) {}

Value KLPropertyListRequestOperation::responsePropertyList() const {
    // Under the lock: the processing queue, a failure queue and the caller may ask at once, and
    // the body is parsed only once.
    std::lock_guard guard(lock_);
    if (responsePropertyList_) return *responsePropertyList_;
    auto data = responseData();
    if (!isFinished() || !data || data->empty() || propertyListError_) return Value();
    propertyListFormat_ = isBinaryPropertyList(*data) ? KLPropertyListBinaryFormat_v1_0 : KLPropertyListXMLFormat_v1_0;
    auto parsed = valueFromPlist(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (!parsed) {
        propertyListError_ = parsed.error();
        return Value();
    }
    responsePropertyList_ = std::move(parsed).value();
    return *responsePropertyList_;
}

std::optional<KLPropertyListFormat> KLPropertyListRequestOperation::propertyListFormat() const {
    std::lock_guard guard(lock_);
    return propertyListFormat_;
}

std::optional<Error> KLPropertyListRequestOperation::propertyListError() const {
    std::lock_guard guard(lock_);
    return propertyListError_;
}

uint64_t KLPropertyListRequestOperation::propertyListReadOptions() const {
    std::lock_guard guard(lock_);
    return propertyListReadOptions_;
}

void KLPropertyListRequestOperation::setPropertyListReadOptions(uint64_t options) {
    std::lock_guard guard(lock_);
    propertyListReadOptions_ = options;
}

std::optional<Error> KLPropertyListRequestOperation::error() const {
    std::lock_guard guard(lock_);
    if (propertyListError_) return propertyListError_;
    return KLHTTPRequestOperation::error();
}

void KLPropertyListRequestOperation::setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) {
    std::weak_ptr<KLURLConnectionOperation> weak = weak_from_this();
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto op = std::static_pointer_cast<KLPropertyListRequestOperation>(weak.lock());
        if (!op) return;
        // A refused reply is not parsed: its body is not what this operation reads.
        if (auto error = op->error()) {
            if (failure) op->dispatchFailure([op, failure, error = *error] { failure(op, error); });
            return;
        }
        globalQueue().async([op, success, failure] {
            Value list = op->responsePropertyList();
            if (auto parseError = op->propertyListError()) {
                if (failure) op->dispatchFailure([op, failure, error = *parseError] { failure(op, error); });
            } else if (success) {
                op->dispatchSuccess([op, success, list] { success(op, list); });
            }
        });
    });
}

std::shared_ptr<KLPropertyListRequestOperation> KLPropertyListRequestOperation::propertyListRequestOperationWithRequest(
    KLURLRequest request, PropertyListSuccessBlock success, PropertyListFailureBlock failure) {
    auto operation = operationWithRequest(std::move(request));
    operation->setCompletionBlockWithSuccess(
        [success](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value& list) {
            if (success) success(op->request(), op->response(), list);
        },
        // A failed operation has no list: either its body was refused unread or it did not parse.
        [failure](const std::shared_ptr<KLHTTPRequestOperation>& op, const Error& error) {
            if (failure) failure(op->request(), op->response(), error, Value());
        });
    return operation;
}

}  // namespace kl

#include "http/KLXMLRequestOperation.h"

#include "platform/Executors.h"

namespace kl {
namespace {

Value bodyValue(const std::shared_ptr<KLHTTPRequestOperation>& op) {
    auto data = op->responseData();
    return data && !data->empty() ? Value(*data) : Value();
}

}  // namespace

std::shared_ptr<KLXMLRequestOperation> KLXMLRequestOperation::operationWithRequest(KLURLRequest request) {
    return std::make_shared<KLXMLRequestOperation>(std::move(request));
}

KLXMLRequestOperation::KLXMLRequestOperation(KLURLRequest request) : KLHTTPResponseOperation(std::move(request)) {}

std::shared_ptr<KLXMLParser> KLXMLRequestOperation::responseXMLParser() const {
    std::lock_guard guard(lock_);
    if (!responseXMLParser_ && isFinished())
        if (auto data = responseData(); data && !data->empty()) responseXMLParser_ = std::make_shared<KLXMLParser>(*data);
    return responseXMLParser_;
}

std::shared_ptr<KLXMLDocument> KLXMLRequestOperation::responseXMLDocument() const {
    std::lock_guard guard(lock_);
    if (responseXMLDocument_ || XMLError_ || !isFinished()) return responseXMLDocument_;
    auto data = responseData();
    if (!data || data->empty()) return nullptr;
    auto document = KLXMLDocument::documentWithData(*data);
    if (document) responseXMLDocument_ = std::move(document).value();
    else XMLError_ = document.error();
    return responseXMLDocument_;
}

std::optional<Error> KLXMLRequestOperation::XMLError() const {
    std::lock_guard guard(lock_);
    return XMLError_;
}

std::optional<Error> KLXMLRequestOperation::error() const {
    std::lock_guard guard(lock_);
    if (XMLError_) return XMLError_;
    return KLHTTPRequestOperation::error();
}

void KLXMLRequestOperation::cancel() {
    KLHTTPRequestOperation::cancel();
    std::shared_ptr<KLXMLParser> parser;
    {
        std::lock_guard guard(lock_);
        parser = responseXMLParser_;
    }
    if (parser) parser->setDelegate({});
}

void KLXMLRequestOperation::setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) {
    std::weak_ptr<KLURLConnectionOperation> weak = weak_from_this();
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto op = std::static_pointer_cast<KLXMLRequestOperation>(weak.lock());
        if (!op) return;
        globalQueue().async([op, success, failure] {
            op->responseXMLParser();
            if (auto error = op->error()) {
                if (failure) op->dispatchFailure([op, failure, error = *error] { failure(op, error); });
            } else if (success) {
                op->dispatchSuccess([op, success] { success(op, bodyValue(op)); });
            }
        });
    });
}

std::shared_ptr<KLXMLRequestOperation> KLXMLRequestOperation::XMLParserRequestOperationWithRequest(KLURLRequest request,
                                                                                                   XMLParserSuccessBlock success,
                                                                                                   XMLParserFailureBlock failure) {
    auto operation = operationWithRequest(std::move(request));
    operation->setCompletionBlockWithSuccess(
        [success](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value&) {
            if (success) success(op->request(), op->response(), std::static_pointer_cast<KLXMLRequestOperation>(op)->responseXMLParser());
        },
        [failure](const std::shared_ptr<KLHTTPRequestOperation>& op, const Error& error) {
            if (failure)
                failure(op->request(), op->response(), error, std::static_pointer_cast<KLXMLRequestOperation>(op)->responseXMLParser());
        });
    return operation;
}

std::shared_ptr<KLXMLRequestOperation> KLXMLRequestOperation::XMLDocumentRequestOperationWithRequest(KLURLRequest request,
                                                                                                     XMLDocumentSuccessBlock success,
                                                                                                     XMLDocumentFailureBlock failure) {
    auto operation = operationWithRequest(std::move(request));
    operation->setCompletionBlockWithSuccess(
        [success, failure](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value&) {
            auto xmlOp = std::static_pointer_cast<KLXMLRequestOperation>(op);
            auto document = xmlOp->responseXMLDocument();
            if (auto readingError = xmlOp->XMLError()) {
                if (failure) failure(op->request(), op->response(), *readingError, nullptr);
            } else if (success) {
                success(op->request(), op->response(), document);
            }
        },
        [failure](const std::shared_ptr<KLHTTPRequestOperation>& op, const Error& error) {
            if (!failure) return;
            auto xmlOp = std::static_pointer_cast<KLXMLRequestOperation>(op);
            // Only an accepted body is read; a refused one (or none) gives no document.
            bool accepted = xmlOp->hasAcceptableStatusCode() && xmlOp->hasAcceptableContentType();
            failure(op->request(), op->response(), error, accepted ? xmlOp->responseXMLDocument() : nullptr);
        });
    return operation;
}

}  // namespace kl

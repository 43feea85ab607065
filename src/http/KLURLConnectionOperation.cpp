#include "http/KLURLConnectionOperation.h"

#include <cinttypes>
#include <cstdio>

#include "foundation/KLTLogging.h"
#include "http/KLNetworkRequestThread.h"
#include "http/KLTextEncoding.h"
#include "http/KLURLConnection.h"
#include "http/KLURLErrors.h"
#include "platform/Executors.h"

namespace kl {

std::shared_ptr<KLURLConnectionOperation> KLURLConnectionOperation::operationWithRequest(KLURLRequest request) {
    return std::make_shared<KLURLConnectionOperation>(std::move(request));
}

KLURLConnectionOperation::KLURLConnectionOperation(KLURLRequest request) : request_(std::move(request)) {
    setState(KLOperationReadyState);
}

KLURLConnectionOperation::~KLURLConnectionOperation() = default;

KLURLConnectionOperation::OperationSignal& KLURLConnectionOperation::didStartNotification() {
    static auto* signal = new OperationSignal();
    return *signal;
}

KLURLConnectionOperation::OperationSignal& KLURLConnectionOperation::didFinishNotification() {
    static auto* signal = new OperationSignal();
    return *signal;
}

bool KLURLConnectionOperation::isAllowedTransition(int from, int to, bool cancelled) {
    switch (from) {
    case KLOperationPausedState: return to == KLOperationReadyState;
    case KLOperationReadyState:
        return to == KLOperationPausedState || to == KLOperationExecutingState ||
               (to == KLOperationFinishedState && cancelled);
    case KLOperationExecutingState: return to == KLOperationPausedState || to == KLOperationFinishedState;
    case KLOperationFinishedState: return false;
    default: return true;
    }
}

const char* KLURLConnectionOperation::keyPathFromOperationState(int state) {
    switch (state) {
    case KLOperationPausedState: return "isPaused";
    case KLOperationReadyState: return "isReady";
    case KLOperationExecutingState: return "isExecuting";
    case KLOperationFinishedState: return "isFinished";
    default: return "state";
    }
}

bool KLURLConnectionOperation::setState(KLOperationState newState) {
    KLOperationState oldState;
    {
        // Checked and stored under one lock, so two threads cannot both leave the same state.
        std::lock_guard guard(lock_);
        if (!isAllowedTransition(state_, newState, cancelled_.load())) return false;
        oldState = state_;
        state_ = newState;
    }
    stateDidChange_.emit(oldState, newState);
    return true;
}

KLOperationState KLURLConnectionOperation::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

bool KLURLConnectionOperation::isReady() const { return state() == KLOperationReadyState; }
bool KLURLConnectionOperation::isExecuting() const { return state() == KLOperationExecutingState; }
bool KLURLConnectionOperation::isFinished() const { return state() == KLOperationFinishedState; }
bool KLURLConnectionOperation::isPaused() const { return state() == KLOperationPausedState; }

void KLURLConnectionOperation::postToMain(std::function<void(const std::shared_ptr<KLURLConnectionOperation>&)> work) {
    auto self = shared_from_this();
    mainLoop().post([self, work = std::move(work)] { work(self); });
}

void KLURLConnectionOperation::start() {
    // The transition check makes a second, concurrent start a no-op.
    if (!isReady() || !setState(KLOperationExecutingState)) return;
    auto self = shared_from_this();
    KLNetworkRequestThread::shared().perform([self] { self->operationDidStart(); });
}

void KLURLConnectionOperation::operationDidStart() {
    bool startConnection = false;
    KLURLRequest request;
    {
        std::lock_guard guard(lock_);
        if (!cancelled_.load() && state_ == KLOperationExecutingState) {
            startConnection = true;
            request = request_;
        }
    }
    if (startConnection) {
        std::weak_ptr<KLURLConnectionOperation> weak = weak_from_this();
        auto self = shared_from_this();
        KLURLConnection::Callbacks callbacks;
        // The connection only ever calls these on the network thread while its transfer runs, and
        // the transfer's completion holds the operation, so the weak references always resolve.
        callbacks.didReceiveResponse = [weak](const KLHTTPURLResponse& response) {
            if (auto op = weak.lock()) op->connectionDidReceiveResponse(response);
        };
        callbacks.didReceiveData = [weak](const char* bytes, size_t length) {
            auto op = weak.lock();
            return op && op->connectionDidReceiveData(bytes, length);
        };
        bool wantsUploadProgress;
        {
            std::lock_guard guard(lock_);
            wantsUploadProgress = bool(uploadProgress_);
        }
        if (wantsUploadProgress)
            callbacks.didSendBodyData = [weak](int64_t bytes, int64_t total, int64_t expected) {
                if (auto op = weak.lock()) op->connectionDidSendBodyData(bytes, total, expected);
            };
        callbacks.didComplete = [self](CURLcode code) { self->connectionDidComplete(int(code)); };
        postToMain([](const auto& op) { didStartNotification().emit(op); });
        connection_ = std::make_unique<KLURLConnection>(std::move(request), std::move(callbacks));
        if (auto failure = connection_->start()) connectionDidFail(std::move(*failure));
    } else {
        postToMain([](const auto& op) { didStartNotification().emit(op); });
    }
    if (cancelled_.load()) abortForCancel();
}

void KLURLConnectionOperation::finish() {
    if (!setState(KLOperationFinishedState)) return;
    postToMain([](const auto& op) { didFinishNotification().emit(op); });
    CompletionBlock completion;
    {
        std::lock_guard guard(lock_);
        completion = std::move(completionBlock_);
        completionBlock_ = nullptr;
    }
    if (completion) {
        auto self = shared_from_this();  // keeps the operation until its completion has run
        globalQueue().async([self, completion = std::move(completion)] { completion(); });
    }
}

void KLURLConnectionOperation::cancel() {
    std::lock_guard guard(lock_);
    if (state_ == KLOperationFinishedState || cancelled_.load()) return;
    cancelled_.store(true);
    auto self = shared_from_this();
    KLNetworkRequestThread::shared().perform([self] { self->cancelConnection(); });
}

void KLURLConnectionOperation::cancelConnection() { abortForCancel(); }

// Network thread. Runs from the cancel request and from operationDidStart, in either order; the
// -999 error is stored before the operation can become finished.
void KLURLConnectionOperation::abortForCancel() {
    std::string url;
    {
        std::lock_guard guard(lock_);
        url = request_.url;
    }
    Error cancelled = KLURLCancelledError(url);
    if (connection_) {
        connection_->cancel();
        connectionDidFail(std::move(cancelled));
        return;
    }
    bool started;
    {
        std::lock_guard guard(lock_);
        // A transfer that completed before the cancel reached this thread keeps its result.
        if (state_ == KLOperationFinishedState) return;
        if (!error_) error_ = std::move(cancelled);
        started = state_ == KLOperationExecutingState;
    }
    // Cancelled while ready: the operation finishes when the queue starts it.
    if (started) finish();
}

void KLURLConnectionOperation::connectionDidReceiveResponse(const KLHTTPURLResponse& response) {
    std::lock_guard guard(lock_);
    response_ = response;
}

bool KLURLConnectionOperation::connectionDidReceiveData(const char* bytes, size_t length) {
    // Every chunk is kept: the body lives in memory until the operation ends.
    const size_t maximum = maximumResponseBodyLength();
    if (length > maximum || receivedData_.size() > maximum - length) {
        bodyTooLong_ = true;
        KLLog(kKLTLoggingLevelError, "Response body exceeds %zu bytes; dropping the connection", maximum);
        return false;
    }
    receivedData_.insert(receivedData_.end(), bytes, bytes + length);
    int64_t total = totalBytesRead_.fetch_add(int64_t(length)) + int64_t(length);
    ProgressBlock progress;
    int64_t expected = -1;
    {
        std::lock_guard guard(lock_);
        progress = downloadProgress_;
        if (response_) expected = response_->expectedContentLength;
    }
    if (progress) mainLoop().post([progress, length, total, expected] { progress(int64_t(length), total, expected); });
    return true;
}

void KLURLConnectionOperation::connectionDidSendBodyData(int64_t bytes, int64_t total, int64_t expected) {
    ProgressBlock progress;
    {
        std::lock_guard guard(lock_);
        progress = uploadProgress_;
    }
    if (progress) mainLoop().post([progress, bytes, total, expected] { progress(bytes, total, expected); });
}

void KLURLConnectionOperation::connectionDidComplete(int curlCode) {
    if (!connection_) return;
    connection_->flushResponse();
    if (curlCode == CURLE_OK) {
        {
            std::lock_guard guard(lock_);
            responseData_ = std::move(receivedData_);
            receivedData_.clear();
        }
        finish();
        connection_.reset();
        return;
    }
    std::string url;
    {
        std::lock_guard guard(lock_);
        url = request_.url;
    }
    Error error = curlCode == CURLE_WRITE_ERROR && bodyTooLong_
                      ? KLURLError(kKLURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size", url)
                      : KLURLErrorFromCurl(curlCode, connection_->errorDetail(), url);
    if (auto bodyError = connection_->bodyStreamError()) error = *bodyError;
    connectionDidFail(std::move(error));
}

void KLURLConnectionOperation::connectionDidFail(Error error) {
    {
        std::lock_guard guard(lock_);
        error_ = std::move(error);
    }
    finish();
    connection_.reset();
}

void KLURLConnectionOperation::pause() {
    KLOperationState current = state();
    if (current == KLOperationPausedState || current == KLOperationFinishedState || cancelled_.load()) return;
    if (!setState(KLOperationPausedState)) return;
    if (current == KLOperationExecutingState) {
        auto self = shared_from_this();
        KLNetworkRequestThread::shared().perform([self] {
            if (self->connection_) {
                self->connection_->cancel();
                self->connection_.reset();
            }
        });
        postToMain([](const auto& op) { didFinishNotification().emit(op); });
    }
}

void KLURLConnectionOperation::resume() {
    if (!setState(KLOperationReadyState)) return;  // only a paused operation may become ready again
    start();
}

void KLURLConnectionOperation::setCompletionBlock(CompletionBlock block) {
    std::lock_guard guard(lock_);
    completionBlock_ = std::move(block);
}

KLURLConnectionOperation::CompletionBlock KLURLConnectionOperation::completionBlock() const {
    std::lock_guard guard(lock_);
    return completionBlock_;
}

void KLURLConnectionOperation::setUploadProgressBlock(ProgressBlock block) {
    std::lock_guard guard(lock_);
    uploadProgress_ = std::move(block);
}

void KLURLConnectionOperation::setDownloadProgressBlock(ProgressBlock block) {
    std::lock_guard guard(lock_);
    downloadProgress_ = std::move(block);
}

KLURLRequest KLURLConnectionOperation::request() const {
    std::lock_guard guard(lock_);
    return request_;
}

void KLURLConnectionOperation::setRequest(KLURLRequest request) {
    std::lock_guard guard(lock_);
    request_ = std::move(request);
}

std::optional<KLHTTPURLResponse> KLURLConnectionOperation::response() const {
    std::lock_guard guard(lock_);
    return response_;
}

std::optional<Error> KLURLConnectionOperation::error() const {
    std::lock_guard guard(lock_);
    return error_;
}

std::optional<Bytes> KLURLConnectionOperation::responseData() const {
    std::lock_guard guard(lock_);
    return responseData_;
}

std::string KLURLConnectionOperation::responseStringEncoding() const {
    std::lock_guard guard(lock_);
    if (!responseStringEncoding_.empty()) return responseStringEncoding_;
    if (!response_) return {};
    const std::string& named = response_->textEncodingName;
    responseStringEncoding_ = isKnownTextEncoding(named) ? named : kKLUTF8StringEncoding;
    return responseStringEncoding_;
}

std::optional<std::string> KLURLConnectionOperation::responseString() const {
    std::lock_guard guard(lock_);
    if (responseString_) return *responseString_;
    if (!response_ || !responseData_) return std::nullopt;
    std::string_view bytes(reinterpret_cast<const char*>(responseData_->data()), responseData_->size());
    responseString_ = decodeText(bytes, responseStringEncoding());
    return *responseString_;
}

Value KLURLConnectionOperation::userInfo() const {
    std::lock_guard guard(lock_);
    return userInfo_;
}

void KLURLConnectionOperation::setUserInfo(Value userInfo) {
    std::lock_guard guard(lock_);
    userInfo_ = std::move(userInfo);
}

std::string KLURLConnectionOperation::description() const {
    std::lock_guard guard(lock_);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<") + className() + ": " + address + ", state: " + keyPathFromOperationState(state_) +
           ", cancelled: " + (cancelled_.load() ? "YES" : "NO") + " request: " + request_.descriptionValue().description() +
           ", response: " + (response_ ? response_->descriptionValue().description() : std::string("(null)")) + ">";
}

}  // namespace kl

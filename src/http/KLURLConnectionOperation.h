// KLURLConnectionOperation: one URL request run as an operation. It moves through ready,
// executing and finished (paused by pause/resume), runs its connection on the shared network
// thread, collects the whole body in memory and finishes exactly once: with the response, with a
// connection error, or with the cancellation error -999.
//
// Threads: start, cancel, pause and resume may be called from any thread; the connection and its
// callbacks run on the network thread; the start and finish notifications and the progress blocks
// run on the main loop; the completion block runs once on the global queue after the operation
// finished. Every field below is guarded by lock_ unless marked otherwise. Always owned by a
// shared_ptr: the network thread keeps the operation alive while its connection runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Signal.h"
#include "platform/Value.h"
#include "http/KLURLRequest.h"

namespace kl {

class KLURLConnection;

enum KLOperationState : int16_t {
    KLOperationPausedState = -1,
    KLOperationReadyState = 1,
    KLOperationExecutingState = 2,
    KLOperationFinishedState = 3,
};

// Names of the start and finish notifications, and the signals that carry them on the main loop.
inline constexpr const char* KLNetworkingOperationDidStartNotification = "com.kelvaro.networking.operation.start";
inline constexpr const char* KLNetworkingOperationDidFinishNotification = "com.kelvaro.networking.operation.finish";

// The largest body kept in memory unless an operation sets its own; a longer reply fails the
// operation instead of exhausting memory.
inline constexpr size_t kKLMaximumResponseBodyLength = 64u << 20;

class KLURLConnectionOperation : public std::enable_shared_from_this<KLURLConnectionOperation> {
public:
    using CompletionBlock = std::function<void()>;
    using ProgressBlock = std::function<void(int64_t bytes, int64_t totalBytes, int64_t totalBytesExpected)>;
    using OperationSignal = Signal<std::shared_ptr<KLURLConnectionOperation>>;

    static std::shared_ptr<KLURLConnectionOperation> operationWithRequest(KLURLRequest request);
    explicit KLURLConnectionOperation(KLURLRequest request);
    virtual ~KLURLConnectionOperation();
    KLURLConnectionOperation(const KLURLConnectionOperation&) = delete;
    KLURLConnectionOperation& operator=(const KLURLConnectionOperation&) = delete;

    // Posted on the main loop when an operation starts and when it finishes (or pauses).
    static OperationSignal& didStartNotification();
    static OperationSignal& didFinishNotification();

    void start();
    virtual void cancel();
    virtual void pause();
    void resume();

    bool isReady() const;
    bool isExecuting() const;
    bool isFinished() const;
    bool isPaused() const;
    bool isCancelled() const { return cancelled_.load(); }
    bool isConcurrent() const { return true; }
    // The longest body this operation keeps (kKLMaximumResponseBodyLength unless set); a longer
    // reply fails it with kKLURLErrorDataLengthExceedsMaximum. Set it before start.
    void setMaximumResponseBodyLength(size_t length) { maximumResponseBodyLength_.store(length); }
    size_t maximumResponseBodyLength() const { return maximumResponseBodyLength_.load(); }
    KLOperationState state() const;
    // Stands in for key-value observation of the state: (old, new) after every accepted change,
    // on the thread that made it.
    Signal<KLOperationState, KLOperationState>& stateDidChange() { return stateDidChange_; }
    // The transition table of setState: whether state from may become to.
    static bool isAllowedTransition(int from, int to, bool cancelled);
    // The key path of a state: "isPaused", "isReady", "isExecuting", "isFinished", else "state".
    static const char* keyPathFromOperationState(int state);

    // Runs once, on the global queue, after the operation finished; nil clears it.
    virtual void setCompletionBlock(CompletionBlock block);
    CompletionBlock completionBlock() const;
    void setUploadProgressBlock(ProgressBlock block);
    void setDownloadProgressBlock(ProgressBlock block);

    KLURLRequest request() const;
    std::optional<KLHTTPURLResponse> response() const;
    // The connection error or the cancellation error; subclasses add their own.
    virtual std::optional<Error> error() const;
    // The whole body once loading finished; nothing before and after a failure.
    std::optional<Bytes> responseData() const;
    // The body as text in responseStringEncoding(); nothing when it does not decode.
    std::optional<std::string> responseString() const;
    // IANA name of the response's text encoding; empty while there is no response.
    virtual std::string responseStringEncoding() const;
    int64_t totalBytesRead() const { return totalBytesRead_.load(); }

    Value userInfo() const;
    void setUserInfo(Value userInfo);
    virtual const char* className() const { return "KLURLConnectionOperation"; }
    std::string description() const;

protected:
    // Attempts a state change under the lock; false when the transition is not allowed.
    bool setState(KLOperationState newState);
    void setRequest(KLURLRequest request);

    mutable std::recursive_mutex lock_;

private:
    void operationDidStart();
    void cancelConnection();
    void abortForCancel();
    void finish();
    void connectionDidReceiveResponse(const KLHTTPURLResponse& response);
    bool connectionDidReceiveData(const char* bytes, size_t length);
    void connectionDidSendBodyData(int64_t bytes, int64_t total, int64_t expected);
    void connectionDidComplete(int curlCode);
    void connectionDidFail(Error error);
    void postToMain(std::function<void(const std::shared_ptr<KLURLConnectionOperation>&)> work);

    KLOperationState state_ = KLOperationState(0);
    std::atomic<bool> cancelled_{false};
    KLURLRequest request_;
    std::optional<KLHTTPURLResponse> response_;
    std::optional<Error> error_;
    std::optional<Bytes> responseData_;
    mutable std::optional<std::optional<std::string>> responseString_;
    mutable std::string responseStringEncoding_;
    CompletionBlock completionBlock_;
    ProgressBlock uploadProgress_;
    ProgressBlock downloadProgress_;
    Value userInfo_;
    std::atomic<int64_t> totalBytesRead_{0};
    std::atomic<size_t> maximumResponseBodyLength_{kKLMaximumResponseBodyLength};

    // Network thread only.
    std::unique_ptr<KLURLConnection> connection_;
    Bytes receivedData_;
    bool bodyTooLong_ = false;

    Signal<KLOperationState, KLOperationState> stateDidChange_;
};

}  // namespace kl

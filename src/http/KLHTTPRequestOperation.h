// KLHTTPRequestOperation: a URL-connection operation that judges its HTTP response. Status codes
// and content types outside the class's acceptable sets become an error (-1011 or -1016 in
// KLNetworkingErrorDomain), and the caller's success or failure callback runs on its callback
// queue (the main loop unless one is set).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>

#include "http/KLURLConnectionOperation.h"
#include "platform/Executors.h"

namespace kl {

class KLHTTPRequestOperation;

using KLHTTPSuccessBlock = std::function<void(const std::shared_ptr<KLHTTPRequestOperation>& operation, const Value& responseObject)>;
using KLHTTPFailureBlock = std::function<void(const std::shared_ptr<KLHTTPRequestOperation>& operation, const Error& error)>;
// Where a callback runs: a function that schedules a task. Empty means the main loop.
using KLCallbackQueue = std::function<void(Task)>;

using KLStatusCodeSet = std::set<long>;
using KLContentTypeSet = std::set<std::string>;

// What the client needs to know of an operation class: its name, whether it takes a request, and
// how to make one.
struct KLHTTPOperationClass {
    std::string name;
    bool (*canProcessRequest)(const KLURLRequest& request);
    std::shared_ptr<KLHTTPRequestOperation> (*make)(const KLURLRequest& request);
};

// The class-wide settings of one operation class.
struct KLHTTPOperationClassSettings {
    std::optional<KLStatusCodeSet> acceptableStatusCodes;    // nothing: any code
    std::optional<KLContentTypeSet> acceptableContentTypes;  // nothing: any type
};

class KLHTTPRequestOperation : public KLURLConnectionOperation {
public:
    static std::shared_ptr<KLHTTPRequestOperation> operationWithRequest(KLURLRequest request);
    explicit KLHTTPRequestOperation(KLURLRequest request);

    static const KLHTTPOperationClass& operationClass();

    // Class-wide acceptable status codes (200-299) and content types (any) of this class.
    static std::optional<KLStatusCodeSet> acceptableStatusCodes();
    static std::optional<KLContentTypeSet> acceptableContentTypes();
    // Widen the class's sets for every later check; not to be raced with requests in flight.
    static void addAcceptableStatusCodes(const KLStatusCodeSet& codes);
    static void addAcceptableContentTypes(const KLContentTypeSet& types);
    // This class takes every request.
    static bool canProcessRequest(const KLURLRequest& request);

    bool hasAcceptableStatusCode() const;
    bool hasAcceptableContentType() const;
    // The acceptance error when the response is not acceptable, else the inherited error.
    std::optional<Error> error() const override;
    std::string responseStringEncoding() const override;
    // Pauses and asks, on resume, for the rest of the body only ("Range" from the bytes so far).
    void pause() override;

    virtual void setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure);
    void setSuccessCallbackQueue(KLCallbackQueue queue);
    void setFailureCallbackQueue(KLCallbackQueue queue);
    // Empty: the main loop.
    KLCallbackQueue successCallbackQueue() const;
    KLCallbackQueue failureCallbackQueue() const;
    std::optional<Error> HTTPError() const;
    void setHTTPError(std::optional<Error> error);

    const char* className() const override { return "KLHTTPRequestOperation"; }

protected:
    // The settings of the operation's own class.
    virtual KLHTTPOperationClassSettings classSettings() const;
    // Schedules on the success or failure callback queue (the main loop when none is set).
    void dispatchSuccess(Task task) const;
    void dispatchFailure(Task task) const;

    // Shared by the subclasses: their class-wide settings and the Accept-header test.
    static KLHTTPOperationClassSettings readSettings(const KLHTTPOperationClassSettings& settings);
    static void widenStatusCodes(KLHTTPOperationClassSettings& settings, const KLStatusCodeSet& codes);
    static void widenContentTypes(KLHTTPOperationClassSettings& settings, const KLContentTypeSet& types);
    static bool acceptHeaderNamesOneOf(const KLURLRequest& request, const std::optional<KLContentTypeSet>& types);

private:
    // Copies the queue under the lock, then schedules outside it.
    void dispatchOn(const KLCallbackQueue& chosen, Task task) const;

    mutable std::optional<Error> HTTPError_;  // guarded by lock_
    KLCallbackQueue successCallbackQueue_;     // guarded by lock_
    KLCallbackQueue failureCallbackQueue_;     // guarded by lock_
};

// The media types named by an "Accept" or "Content-Type" value: split at ",", parameters dropped,
// trimmed; nothing for a missing header.
std::optional<std::set<std::string>> KLContentTypesFromHTTPHeader(const std::string* header);
// The codes as runs: "200-299", "200,204,300-301".
std::string KLStringFromIndexSet(const KLStatusCodeSet& codes);

}  // namespace kl

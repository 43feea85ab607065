// KLJSONRequestOperation: an HTTP operation for JSON replies. It accepts the JSON media types,
// parses the body once (on the global queue, or on the failure queue when the reply was refused)
// and hands the parsed object to the success callback. Only an object or an array is a valid
// top-level reply; a body of exactly one space, or an empty body, gives null and no error.
#pragma once

#include "http/KLHTTPRequestOperation.h"

namespace kl {

class KLJSONRequestOperation : public KLHTTPRequestOperation {
public:
    using JSONSuccessBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                const Value& JSON)>;
    using JSONFailureBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                const Error& error, const Value& JSON)>;

    static std::shared_ptr<KLJSONRequestOperation> operationWithRequest(KLURLRequest request);
    static std::shared_ptr<KLJSONRequestOperation> JSONRequestOperationWithRequest(KLURLRequest request, JSONSuccessBlock success,
                                                                                    JSONFailureBlock failure);
    explicit KLJSONRequestOperation(KLURLRequest request);

    static const KLHTTPOperationClass& operationClass();
    static std::optional<KLStatusCodeSet> acceptableStatusCodes();
    static std::optional<KLContentTypeSet> acceptableContentTypes();
    static void addAcceptableStatusCodes(const KLStatusCodeSet& codes);
    static void addAcceptableContentTypes(const KLContentTypeSet& types);
    // Requests for a ".json" path, or whose "Accept" names a JSON media type.
    static bool canProcessRequest(const KLURLRequest& request);

    // The parsed body (null for none); parsed once after the operation finished.
    Value responseJSON() const;
    std::optional<Error> JSONError() const;
    // The parse error first, then the HTTP or connection error.
    std::optional<Error> error() const override;
    void setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) override;

    const char* className() const override { return "KLJSONRequestOperation"; }

protected:
    KLHTTPOperationClassSettings classSettings() const override;

private:
    mutable std::optional<Value> responseJSON_;  // guarded by lock_
    mutable std::optional<Error> JSONError_;     // guarded by lock_
};

}  // namespace kl

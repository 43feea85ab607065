#include "http/KLJSONRequestOperation.h"

#include "http/KLURL.h"
#include "platform/Executors.h"
#include "platform/ValueJson.h"

namespace kl {
namespace {

KLHTTPOperationClassSettings& jsonClassSettings() {
    static KLHTTPOperationClassSettings settings = [] {
        KLHTTPOperationClassSettings s;
        s.acceptableStatusCodes = KLHTTPRequestOperation::acceptableStatusCodes();
        s.acceptableContentTypes = KLContentTypeSet{"application/json", "text/json", "text/javascript"};
        return s;
    }();
    return settings;
}

}  // namespace

std::shared_ptr<KLJSONRequestOperation> KLJSONRequestOperation::operationWithRequest(KLURLRequest request) {
    return std::make_shared<KLJSONRequestOperation>(std::move(request));
}

KLJSONRequestOperation::KLJSONRequestOperation(KLURLRequest request) : KLHTTPRequestOperation(std::move(request)) {}

const KLHTTPOperationClass& KLJSONRequestOperation::operationClass() {
    static const KLHTTPOperationClass cls{"KLJSONRequestOperation", &KLJSONRequestOperation::canProcessRequest,
                                          [](const KLURLRequest& r) -> std::shared_ptr<KLHTTPRequestOperation> {
                                              return operationWithRequest(r);
                                          }};
    return cls;
}

std::optional<KLStatusCodeSet> KLJSONRequestOperation::acceptableStatusCodes() {
    return readSettings(jsonClassSettings()).acceptableStatusCodes;
}
std::optional<KLContentTypeSet> KLJSONRequestOperation::acceptableContentTypes() {
    return readSettings(jsonClassSettings()).acceptableContentTypes;
}
void KLJSONRequestOperation::addAcceptableStatusCodes(const KLStatusCodeSet& codes) {
    widenStatusCodes(jsonClassSettings(), codes);
}
void KLJSONRequestOperation::addAcceptableContentTypes(const KLContentTypeSet& types) {
    widenContentTypes(jsonClassSettings(), types);
}
KLHTTPOperationClassSettings KLJSONRequestOperation::classSettings() const { return readSettings(jsonClassSettings()); }

bool KLJSONRequestOperation::canProcessRequest(const KLURLRequest& request) {
    if (url::pathExtension(request.url) == "json") return true;
    return acceptHeaderNamesOneOf(request, acceptableContentTypes());
}

Value KLJSONRequestOperation::responseJSON() const {
    std::lock_guard guard(lock_);
    if (responseJSON_) return *responseJSON_;
    auto data = responseData();
    if (!isFinished() || !data || data->empty() || JSONError_) return Value();
    auto text = responseString();
    if (text && *text == " ") {
        responseJSON_ = Value();
        return Value();
    }
    if (!text) {
        JSONError_ = Error::withDescription(kJsonErrorDomain, 4,
                                            "The data couldn't be read because it isn't in the correct text encoding (" +
                                                responseStringEncoding() + ")");
        return Value();
    }
    auto parsed = valueFromJson(*text, JsonParseOptions{.requireContainer = true});
    if (!parsed) {
        JSONError_ = parsed.error();
        return Value();
    }
    responseJSON_ = std::move(parsed).value();
    return *responseJSON_;
}

std::optional<Error> KLJSONRequestOperation::JSONError() const {
    std::lock_guard guard(lock_);
    return JSONError_;
}

std::optional<Error> KLJSONRequestOperation::error() const {
    std::lock_guard guard(lock_);
    if (JSONError_) return JSONError_;
    return KLHTTPRequestOperation::error();
}

void KLJSONRequestOperation::setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) {
    std::weak_ptr<KLURLConnectionOperation> weak = weak_from_this();
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto op = std::static_pointer_cast<KLJSONRequestOperation>(weak.lock());
        if (!op) return;
        if (op->error()) {
            // A refused reply is still parsed (on the failure queue), so the callback can read the
            // server's JSON; a body that does not parse reports the parse error instead.
            if (failure)
                op->dispatchFailure([op, failure] {
                    op->responseJSON();
                    if (auto error = op->error()) failure(op, *error);
                });
            return;
        }
        globalQueue().async([op, success, failure] {
            Value json = op->responseJSON();
            if (auto parseError = op->JSONError()) {
                if (failure) op->dispatchFailure([op, failure, error = *parseError] { failure(op, error); });
            } else if (success) {
                op->dispatchSuccess([op, success, json] { success(op, json); });
            }
        });
    });
}

std::shared_ptr<KLJSONRequestOperation> KLJSONRequestOperation::JSONRequestOperationWithRequest(KLURLRequest request,
                                                                                               JSONSuccessBlock success,
                                                                                               JSONFailureBlock failure) {
    auto operation = operationWithRequest(std::move(request));
    operation->setCompletionBlockWithSuccess(
        [success](const std::shared_ptr<KLHTTPRequestOperation>& op, const Value& json) {
            if (success) success(op->request(), op->response(), json);
        },
        [failure](const std::shared_ptr<KLHTTPRequestOperation>& op, const Error& error) {
            if (!failure) return;
            auto jsonOp = std::static_pointer_cast<KLJSONRequestOperation>(op);
            failure(op->request(), op->response(), error, jsonOp->responseJSON());
        });
    return operation;
}

}  // namespace kl

#include "http/KLHTTPRequestOperation.h"

#include <mutex>

#include "http/KLTextEncoding.h"
#include "http/KLURLErrors.h"
#include "platform/Executors.h"

namespace kl {
namespace {

std::mutex gClassSettingsLock;

KLHTTPOperationClassSettings& httpClassSettings() {
    static KLHTTPOperationClassSettings settings = [] {
        KLHTTPOperationClassSettings s;
        KLStatusCodeSet codes;
        for (long code = 200; code < 300; ++code) codes.insert(code);
        s.acceptableStatusCodes = std::move(codes);
        return s;
    }();
    return settings;
}

bool containsIgnoringCase(const KLContentTypeSet& types, std::string_view type) {
    for (const auto& candidate : types)
        if (equalsIgnoringCase(candidate, type)) return true;
    return false;
}

std::string contentTypeSetDescription(const KLContentTypeSet& types) {
    std::string text = "{(";
    for (const auto& type : types) {
        if (text.size() > 2) text += ", ";
        text += type;
    }
    return text + ")}";
}

}  // namespace

std::optional<std::set<std::string>> KLContentTypesFromHTTPHeader(const std::string* header) {
    if (!header) return std::nullopt;
    std::set<std::string> types;
    std::string_view rest = *header;
    while (true) {
        size_t comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        piece = trimmed(piece.substr(0, piece.find(';')));
        if (!piece.empty()) types.insert(std::string(piece));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return types;
}

std::string KLStringFromIndexSet(const KLStatusCodeSet& codes) {
    std::string text;
    auto it = codes.begin();
    while (it != codes.end()) {
        long first = *it, last = *it;
        for (++it; it != codes.end() && *it == last + 1; ++it) last = *it;
        if (!text.empty()) text += ",";
        text += first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
    }
    return text;
}

std::shared_ptr<KLHTTPRequestOperation> KLHTTPRequestOperation::operationWithRequest(KLURLRequest request) {
    return std::make_shared<KLHTTPRequestOperation>(std::move(request));
}

KLHTTPRequestOperation::KLHTTPRequestOperation(KLURLRequest request) : KLURLConnectionOperation(std::move(request)) {}

const KLHTTPOperationClass& KLHTTPRequestOperation::operationClass() {
    static const KLHTTPOperationClass cls{"KLHTTPRequestOperation", &KLHTTPRequestOperation::canProcessRequest,
                                          [](const KLURLRequest& r) { return operationWithRequest(r); }};
    return cls;
}

KLHTTPOperationClassSettings KLHTTPRequestOperation::readSettings(const KLHTTPOperationClassSettings& settings) {
    std::lock_guard guard(gClassSettingsLock);
    return settings;
}

void KLHTTPRequestOperation::widenStatusCodes(KLHTTPOperationClassSettings& settings, const KLStatusCodeSet& codes) {
    std::lock_guard guard(gClassSettingsLock);
    KLStatusCodeSet merged = settings.acceptableStatusCodes.value_or(KLStatusCodeSet{});
    merged.insert(codes.begin(), codes.end());
    settings.acceptableStatusCodes = std::move(merged);
}

void KLHTTPRequestOperation::widenContentTypes(KLHTTPOperationClassSettings& settings, const KLContentTypeSet& types) {
    std::lock_guard guard(gClassSettingsLock);
    KLContentTypeSet merged = settings.acceptableContentTypes.value_or(KLContentTypeSet{});
    merged.insert(types.begin(), types.end());
    settings.acceptableContentTypes = std::move(merged);
}

std::optional<KLStatusCodeSet> KLHTTPRequestOperation::acceptableStatusCodes() {
    return readSettings(httpClassSettings()).acceptableStatusCodes;
}
std::optional<KLContentTypeSet> KLHTTPRequestOperation::acceptableContentTypes() {
    return readSettings(httpClassSettings()).acceptableContentTypes;
}
void KLHTTPRequestOperation::addAcceptableStatusCodes(const KLStatusCodeSet& codes) {
    widenStatusCodes(httpClassSettings(), codes);
}
void KLHTTPRequestOperation::addAcceptableContentTypes(const KLContentTypeSet& types) {
    widenContentTypes(httpClassSettings(), types);
}

KLHTTPOperationClassSettings KLHTTPRequestOperation::classSettings() const { return readSettings(httpClassSettings()); }

bool KLHTTPRequestOperation::canProcessRequest(const KLURLRequest&) { return true; }

bool KLHTTPRequestOperation::acceptHeaderNamesOneOf(const KLURLRequest& request,
                                                    const std::optional<KLContentTypeSet>& types) {
    auto accepted = KLContentTypesFromHTTPHeader(request.valueForHTTPHeaderField("Accept"));
    if (!accepted || !types) return false;
    for (const auto& type : *accepted)
        if (containsIgnoringCase(*types, type)) return true;
    return false;
}

bool KLHTTPRequestOperation::hasAcceptableStatusCode() const {
    auto response = this->response();
    if (!response) return false;
    long code = response->isHTTP() ? response->statusCode : 200;
    auto codes = classSettings().acceptableStatusCodes;
    return !codes || codes->contains(code);
}

bool KLHTTPRequestOperation::hasAcceptableContentType() const {
    auto response = this->response();
    if (!response) return false;
    std::string type = response->MIMEType.empty() ? "application/octet-stream" : response->MIMEType;
    auto types = classSettings().acceptableContentTypes;
    return !types || containsIgnoringCase(*types, type);
}

std::optional<Error> KLHTTPRequestOperation::error() const {
    std::lock_guard guard(lock_);
    auto response = this->response();
    if (!HTTPError_ && response && (!hasAcceptableStatusCode() || !hasAcceptableContentType())) {
        KLURLRequest request = this->request();
        Dictionary info;
        if (auto text = responseString()) info.set(kKLLocalizedRecoverySuggestionErrorKey, *text);
        info.set(kKLURLErrorFailingURLErrorKey, request.url);
        info.set(KLNetworkingOperationFailingURLRequestErrorKey, request.descriptionValue());
        info.set(KLNetworkingOperationFailingURLResponseErrorKey, response->descriptionValue());
        auto settings = classSettings();
        auto data = responseData();
        if (!hasAcceptableStatusCode()) {
            long code = response->isHTTP() ? response->statusCode : 200;
            info.set(kErrorDescriptionKey, "Expected status code in (" +
                                               KLStringFromIndexSet(settings.acceptableStatusCodes.value_or(KLStatusCodeSet{})) +
                                               "), got " + std::to_string(code));
            HTTPError_ = Error(KLNetworkingErrorDomain, kKLURLErrorBadServerResponse, std::move(info));
        } else if (data && !data->empty()) {
            // A refused type with an empty body is no error: there is nothing to misread.
            info.set(kErrorDescriptionKey, "Expected content type " +
                                               contentTypeSetDescription(settings.acceptableContentTypes.value_or(KLContentTypeSet{})) +
                                               ", got " + response->MIMEType);
            HTTPError_ = Error(KLNetworkingErrorDomain, kKLURLErrorCannotDecodeContentData, std::move(info));
        }
    }
    if (HTTPError_) return HTTPError_;
    return KLURLConnectionOperation::error();
}

std::string KLHTTPRequestOperation::responseStringEncoding() const {
    std::lock_guard guard(lock_);
    auto response = this->response();
    auto data = responseData();
    if (response && response->textEncodingName.empty() && data) {
        // Text without a named charset is ISO Latin 1, as HTTP/1.1 defined it.
        if (const std::string* contentType = response->allHeaderFields.value("Content-Type")) {
            std::string_view value = trimmed(*contentType);
            if (value.substr(0, value.find('/')) == "text") return kKLISOLatin1StringEncoding;
        }
    }
    return KLURLConnectionOperation::responseStringEncoding();
}

void KLHTTPRequestOperation::pause() {
    KLURLRequest resumable = request();
    int64_t offset = totalBytesRead();
    resumable.setValue("bytes=" + std::to_string(offset) + "-", "Range");
    if (auto response = this->response())
        if (const std::string* etag = response->allHeaderFields.value("ETag")) resumable.setValue(*etag, "If-Range");
    setRequest(std::move(resumable));
    KLURLConnectionOperation::pause();
}

void KLHTTPRequestOperation::setSuccessCallbackQueue(KLCallbackQueue queue) {
    std::lock_guard guard(lock_);
    successCallbackQueue_ = std::move(queue);
}

void KLHTTPRequestOperation::setFailureCallbackQueue(KLCallbackQueue queue) {
    std::lock_guard guard(lock_);
    failureCallbackQueue_ = std::move(queue);
}

KLCallbackQueue KLHTTPRequestOperation::successCallbackQueue() const {
    std::lock_guard guard(lock_);
    return successCallbackQueue_;
}

KLCallbackQueue KLHTTPRequestOperation::failureCallbackQueue() const {
    std::lock_guard guard(lock_);
    return failureCallbackQueue_;
}

std::optional<Error> KLHTTPRequestOperation::HTTPError() const {
    std::lock_guard guard(lock_);
    return HTTPError_;
}

void KLHTTPRequestOperation::setHTTPError(std::optional<Error> error) {
    std::lock_guard guard(lock_);
    HTTPError_ = std::move(error);
}

void KLHTTPRequestOperation::dispatchSuccess(Task task) const { dispatchOn(successCallbackQueue_, std::move(task)); }

void KLHTTPRequestOperation::dispatchFailure(Task task) const { dispatchOn(failureCallbackQueue_, std::move(task)); }

void KLHTTPRequestOperation::dispatchOn(const KLCallbackQueue& chosen, Task task) const {
    KLCallbackQueue queue;
    {
        std::lock_guard guard(lock_);
        queue = chosen;
    }
    if (queue) queue(std::move(task));
    else mainLoop().post(std::move(task));
}

void KLHTTPRequestOperation::setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) {
    std::weak_ptr<KLURLConnectionOperation> weak = weak_from_this();
    // The completion runs with the operation held by the caller of the block, so weak resolves.
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto op = std::static_pointer_cast<KLHTTPRequestOperation>(weak.lock());
        if (!op) return;
        if (auto error = op->error()) {
            if (failure) op->dispatchFailure([op, failure, error = *error] { failure(op, error); });
        } else if (success) {
            auto data = op->responseData();
            op->dispatchSuccess([op, success, data = data ? Value(*data) : Value()] { success(op, data); });
        }
    });
}

}  // namespace kl

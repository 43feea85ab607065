#include "http/KLHTTPClient.h"

#include <errno.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "foundation/Base64.h"
#include "foundation/KLTLogging.h"
#include "http/KLHTTPOperationClassRegistry.h"
#include "http/KLQueryString.h"
#include "http/KLTextEncoding.h"
#include "http/KLURL.h"
#include "http/KLURLErrors.h"
#include "platform/Executors.h"
#include "platform/ValueJson.h"
#include "platform/ValuePlist.h"

namespace kl {
namespace {

std::mutex gUserAgentLock;
std::string gUserAgentName;
std::string gUserAgentVersion = "1.0";

std::string userAgent() {
    std::lock_guard guard(gUserAgentLock);
    std::string name = gUserAgentName.empty() ? std::string(program_invocation_short_name) : gUserAgentName;
    utsname system{};
    std::string release = ::uname(&system) == 0 ? system.release : "";
    return name + "/" + gUserAgentVersion + " (Linux " + release + ")";
}

// The language tag of a POSIX locale name: "fr_CH.UTF-8@euro" gives "fr-CH"; "C" and "POSIX" none.
std::string languageTag(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    std::string tag(locale);
    std::replace(tag.begin(), tag.end(), '_', '-');
    return tag;
}

// The JSON parameter encoding refuses what JSON cannot carry, rather than sending something else.
std::optional<std::string> jsonUnsafeMember(const Value& value) {
    switch (value.type()) {
    case Value::Type::String:
        return isValidUTF8(*value.asString()) ? std::nullopt : std::optional<std::string>("a string that is not UTF-8");
    case Value::Type::Double:
        return std::isfinite(*value.asDouble()) ? std::nullopt : std::optional<std::string>("a number that is not finite");
    case Value::Type::Bytes: return "data";
    case Value::Type::Date: return "a date";
    case Value::Type::Array:
        for (const auto& element : *value.asArray())
            if (auto problem = jsonUnsafeMember(element)) return problem;
        return std::nullopt;
    case Value::Type::Dictionary:
        for (const auto& [key, element] : *value.asDictionary()) {
            if (!isValidUTF8(key)) return "a key that is not UTF-8";
            if (auto problem = jsonUnsafeMember(element)) return problem;
        }
        return std::nullopt;
    default: return std::nullopt;
    }
}

std::string standardBase64(std::string_view text) {
    size_t length = 0;
    char* encoded = NewBase64Encode(text.data(), text.size(), false, &length);
    if (!encoded) return {};
    std::string result(encoded, length);
    std::free(encoded);
    // The foundation's encoder writes the URL-safe alphabet; Basic authentication wants the standard one.
    for (char& c : result) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    return result;
}

}  // namespace

std::vector<std::string> KLPreferredLanguages() {
    std::vector<std::string> languages;
    auto add = [&](std::string_view locale) {
        std::string tag = languageTag(locale);
        if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end()) languages.push_back(tag);
    };
    const char* list = std::getenv("LANGUAGE");
    if (list && *list) {
        std::string_view rest = list;
        while (!rest.empty()) {
            size_t colon = rest.find(':');
            add(rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    if (languages.empty()) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                add(value);
                break;
            }
        }
    }
    if (languages.empty()) languages.push_back("en");
    return languages;
}

std::string KLAcceptLanguageHeaderValue(const std::vector<std::string>& languages) {
    std::string value;
    for (size_t i = 0; i < languages.size(); ++i) {
        // Single precision, as the weights have always been computed: 1, 0.9, ... 0.5.
        float q = 1.0f + float(i) * -0.1f;
        char weight[16];
        std::snprintf(weight, sizeof weight, "%0.1g", double(q));
        if (!value.empty()) value += ", ";
        value += languages[i] + ";q=" + weight;
        if (q <= 0.5f) break;
    }
    return value;
}

Signal<KLNetworkReachabilityStatus>& KLHTTPClient::reachabilityDidChangeNotification() {
    static auto* signal = new Signal<KLNetworkReachabilityStatus>();
    return *signal;
}

void KLHTTPClient::setUserAgentApplication(std::string name, std::string version) {
    std::lock_guard guard(gUserAgentLock);
    gUserAgentName = std::move(name);
    gUserAgentVersion = std::move(version);
}

std::shared_ptr<KLHTTPClient> KLHTTPClient::clientWithBaseURL(const std::string& baseURL) {
    std::shared_ptr<KLHTTPClient> client(new KLHTTPClient(baseURL));
    client->startMonitoringNetworkReachability();
    return client;
}

KLHTTPClient::KLHTTPClient(const std::string& baseURL)
    : baseURL_(url::normalizedBaseURL(baseURL).value_or("")),
      operationQueue_(KLOperationQueue::create()),
      stringEncoding_(kKLUTF8StringEncoding),
      parameterEncoding_(KLFormURLEncodedParameterEncoding),
      networkReachabilityStatus_(KLNetworkReachabilityStatusUnknown) {
    if (baseURL_.empty()) KLLog(kKLTLoggingLevelError, "KLHTTPClient: \"%s\" is no http or https URL", baseURL.c_str());
    defaultHeaders_.set("Accept-Language", KLAcceptLanguageHeaderValue(KLPreferredLanguages()));
    defaultHeaders_.set("User-Agent", userAgent());
}

KLHTTPClient::~KLHTTPClient() { stopMonitoringNetworkReachability(); }

std::string KLHTTPClient::baseURL() const { return baseURL_; }

std::string KLHTTPClient::stringEncoding() const {
    std::lock_guard guard(lock_);
    return stringEncoding_;
}

void KLHTTPClient::setStringEncoding(std::string encoding) {
    std::lock_guard guard(lock_);
    stringEncoding_ = std::move(encoding);
}

KLHTTPClientParameterEncoding KLHTTPClient::parameterEncoding() const {
    std::lock_guard guard(lock_);
    return parameterEncoding_;
}

void KLHTTPClient::setParameterEncoding(KLHTTPClientParameterEncoding encoding) {
    std::lock_guard guard(lock_);
    parameterEncoding_ = encoding;
}

bool KLHTTPClient::registerOperationClass(const KLHTTPOperationClass& operationClass) {
    KLRegisterHTTPOperationClassName(operationClass);
    std::lock_guard guard(lock_);
    std::erase(registeredHTTPOperationClassNames_, operationClass.name);
    registeredHTTPOperationClassNames_.insert(registeredHTTPOperationClassNames_.begin(), operationClass.name);
    return true;
}

void KLHTTPClient::unregisterOperationClass(const std::string& name) {
    std::lock_guard guard(lock_);
    std::erase(registeredHTTPOperationClassNames_, name);
}

std::vector<std::string> KLHTTPClient::registeredHTTPOperationClassNames() const {
    std::lock_guard guard(lock_);
    return registeredHTTPOperationClassNames_;
}

std::optional<std::string> KLHTTPClient::defaultValueForHeader(const std::string& header) const {
    std::lock_guard guard(lock_);
    const std::string* value = defaultHeaders_.value(header);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

void KLHTTPClient::setDefaultHeader(const std::string& header, std::optional<std::string> value) {
    std::lock_guard guard(lock_);
    if (value) defaultHeaders_.set(header, std::move(*value));
    else defaultHeaders_.remove(header);
}

KLHTTPHeaders KLHTTPClient::defaultHeaders() const {
    std::lock_guard guard(lock_);
    return defaultHeaders_;
}

void KLHTTPClient::setAuthorizationHeaderWithUsername(const std::string& username, const std::string& password) {
    setDefaultHeader("Authorization", "Basic " + standardBase64(username + ":" + password));
}

void KLHTTPClient::setAuthorizationHeaderWithToken(const std::string& token) {
    setDefaultHeader("Authorization", "Token token=\"" + token + "\"");
}

void KLHTTPClient::clearAuthorizationHeader() { setDefaultHeader("Authorization", std::nullopt); }

KLURLRequest KLHTTPClient::requestWithMethod(const std::string& method, const std::string& path,
                                             const std::optional<Dictionary>& parameters) const {
    KLURLRequest request;
    request.HTTPMethod = method;
    std::string encoding;
    KLHTTPClientParameterEncoding parameterEncoding;
    {
        std::lock_guard guard(lock_);
        request.allHTTPHeaderFields = defaultHeaders_;
        encoding = stringEncoding_;
        parameterEncoding = parameterEncoding_;
    }
    if (!baseURL_.empty()) request.url = url::resolve(baseURL_, path).value_or("");
    if (!parameters) return request;

    auto fail = [&](const Error& error) {
        KLLog(kKLTLoggingLevelError, "KLHTTPClient requestWithMethod:path:parameters: %s", error.description().c_str());
        request.bodyError = error;
    };
    if (method == "GET" || method == "HEAD" || method == "DELETE") {
        auto query = KLQueryStringFromParametersWithEncoding(*parameters, encoding);
        if (!query) {
            fail(query.error());
            return request;
        }
        // The caller's path decides the separator; the base URL's own query is not looked at.
        if (!request.url.empty()) request.url += (path.find('?') == std::string::npos ? "?" : "&") + *query;
        return request;
    }

    std::string charset = encoding;
    switch (parameterEncoding) {
    case KLFormURLEncodedParameterEncoding: {
        request.setValue("application/x-www-form-urlencoded; charset=" + charset, "Content-Type");
        auto query = KLQueryStringFromParametersWithEncoding(*parameters, encoding);
        if (!query) fail(query.error());
        else request.HTTPBody = Bytes(query->begin(), query->end());
        break;
    }
    case KLJSONParameterEncoding: {
        request.setValue("application/json; charset=" + charset, "Content-Type");
        if (auto problem = jsonUnsafeMember(Value(*parameters))) {
            fail(Error::withDescription(kKLSerializationErrorDomain, 2, "JSON cannot carry " + *problem));
            break;
        }
        std::string json = valueToJson(Value(*parameters));
        request.HTTPBody = Bytes(json.begin(), json.end());
        break;
    }
    case KLPropertyListParameterEncoding: {
        request.setValue("application/x-plist; charset=" + charset, "Content-Type");
        auto plist = valueToPlist(Value(*parameters), PlistFormat::Xml);
        if (!plist) fail(plist.error());
        else request.HTTPBody = std::move(plist).value();
        break;
    }
    }
    return request;
}

std::shared_ptr<KLHTTPRequestOperation> KLHTTPClient::HTTPRequestOperationWithRequest(const KLURLRequest& request,
                                                                                      KLHTTPSuccessBlock success,
                                                                                      KLHTTPFailureBlock failure) const {
    std::shared_ptr<KLHTTPRequestOperation> operation;
    for (const auto& name : registeredHTTPOperationClassNames()) {
        const KLHTTPOperationClass* operationClass = KLHTTPOperationClassFromString(name);
        if (!operationClass || !operationClass->canProcessRequest(request)) continue;
        operation = operationClass->make(request);
        break;
    }
    if (!operation) operation = KLHTTPRequestOperation::operationWithRequest(request);
    operation->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
    return operation;
}

void KLHTTPClient::enqueueHTTPRequestOperation(const std::shared_ptr<KLHTTPRequestOperation>& operation) {
    operationQueue_->addOperation(operation);
}

void KLHTTPClient::enqueueRequest(const std::string& method, const std::string& path, const std::optional<Dictionary>& parameters,
                                  KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) {
    auto request = requestWithMethod(method, path, parameters);
    enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(request, std::move(success), std::move(failure)));
}

void KLHTTPClient::getPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                           KLHTTPFailureBlock failure) {
    enqueueRequest("GET", path, parameters, std::move(success), std::move(failure));
}

void KLHTTPClient::postPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                            KLHTTPFailureBlock failure) {
    enqueueRequest("POST", path, parameters, std::move(success), std::move(failure));
}

void KLHTTPClient::putPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                           KLHTTPFailureBlock failure) {
    enqueueRequest("PUT", path, parameters, std::move(success), std::move(failure));
}

void KLHTTPClient::deletePath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                              KLHTTPFailureBlock failure) {
    enqueueRequest("DELETE", path, parameters, std::move(success), std::move(failure));
}

void KLHTTPClient::patchPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                             KLHTTPFailureBlock failure) {
    enqueueRequest("PATCH", path, parameters, std::move(success), std::move(failure));
}

void KLHTTPClient::cancelAllHTTPOperationsWithMethod(const std::optional<std::string>& method, const std::string& path) {
    std::string pathToMatch = url::path(requestWithMethod(method.value_or("GET"), path, std::nullopt).url);
    for (const auto& operation : operationQueue_->operations()) {
        auto http = std::dynamic_pointer_cast<KLHTTPRequestOperation>(operation);
        if (!http) continue;
        KLURLRequest request = http->request();
        if (method && request.HTTPMethod != *method) continue;
        if (url::path(request.url) == pathToMatch) http->cancel();
    }
}

void KLHTTPClient::cancelAllHTTPOperations() {
    for (const auto& operation : operationQueue_->operations())
        if (auto http = std::dynamic_pointer_cast<KLHTTPRequestOperation>(operation)) http->cancel();
}

void KLHTTPClient::setReachabilityStatusChangeBlock(ReachabilityBlock block) {
    std::lock_guard guard(lock_);
    networkReachabilityStatusBlock_ = std::move(block);
}

KLNetworkReachabilityStatus KLHTTPClient::networkReachabilityStatus() const {
    std::lock_guard guard(lock_);
    return networkReachabilityStatus_;
}

void KLHTTPClient::reachabilityStatusDidChange(KLNetworkReachabilityStatus status) {
    ReachabilityBlock block;
    {
        std::lock_guard guard(lock_);
        networkReachabilityStatus_ = status;
        block = networkReachabilityStatusBlock_;
    }
    if (block) block(status);
}

void KLHTTPClient::startMonitoringNetworkReachability() {
    stopMonitoringNetworkReachability();
    std::string host = url::host(baseURL_);
    if (host.empty()) return;
    std::weak_ptr<KLHTTPClient> weak = weak_from_this();
    // The system reports a literal address's first status without the notification.
    bool literal = KLIsLiteralAddress(host);
    auto monitor = KLNetworkReachabilityMonitor::create(host, [weak, literal](KLNetworkReachabilityStatus status, bool initial) {
        mainLoop().post([weak, status, notify = !(initial && literal)] {
            auto client = weak.lock();
            if (!client) return;
            client->reachabilityStatusDidChange(status);
            if (notify) mainLoop().post([status] { reachabilityDidChangeNotification().emit(status); });
        });
    });
    std::lock_guard guard(lock_);
    networkReachability_ = std::move(monitor);
}

void KLHTTPClient::stopMonitoringNetworkReachability() {
    std::unique_ptr<KLNetworkReachabilityMonitor> monitor;
    {
        std::lock_guard guard(lock_);
        monitor = std::move(networkReachability_);
    }
    // Joined outside the lock; its thread never takes it.
}

std::shared_ptr<KLHTTPClient> KLHTTPClient::copy() const {
    auto client = clientWithBaseURL(baseURL_);
    std::lock_guard guard(lock_);
    std::lock_guard other(client->lock_);
    client->stringEncoding_ = stringEncoding_;
    client->parameterEncoding_ = parameterEncoding_;
    client->registeredHTTPOperationClassNames_ = registeredHTTPOperationClassNames_;
    client->defaultHeaders_ = defaultHeaders_;
    client->networkReachabilityStatusBlock_ = networkReachabilityStatusBlock_;
    return client;
}

std::string KLHTTPClient::description() const {
    std::lock_guard guard(lock_);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    Dictionary headers;
    for (const auto& [name, value] : defaultHeaders_.fields()) headers.set(name, value);
    Array names;
    for (const auto& name : registeredHTTPOperationClassNames_) names.push_back(name);
    return std::string("<KLHTTPClient: ") + address + ", baseURL: " + baseURL_ + ", defaultHeaders: " +
           Value(headers).description() + ", registeredOperationClasses: " + Value(names).description() +
           ", operationQueue: " + std::to_string(operationQueue_->operationCount()) + " operations>";
}

}  // namespace kl

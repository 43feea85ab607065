// KLHTTPClient: the request layer for one REST server. It keeps the base URL, the headers sent with
// every request and the parameter encodings, builds requests from a method, a relative path and a
// parameter dictionary, picks the operation class for each, and queues the operations. It follows
// the reachability of the server's host and reports changes on the main loop.
//
// Callers use it from the main loop's thread (its fields are locked all the same); success,
// failure and reachability callbacks all arrive on the main loop.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "http/KLHTTPRequestOperation.h"
#include "http/KLMultipartFormData.h"
#include "http/KLNetworkReachability.h"
#include "http/KLOperationQueue.h"
#include "platform/Signal.h"

namespace kl {

enum KLHTTPClientParameterEncoding : int {
    KLFormURLEncodedParameterEncoding = 0,
    KLJSONParameterEncoding = 1,
    KLPropertyListParameterEncoding = 2,
};

inline constexpr const char* KLNetworkingReachabilityDidChangeNotification = "com.kelvaro.networking.reachability.change";
inline constexpr const char* KLNetworkingReachabilityNotificationStatusItem = "KLNetworkingReachabilityNotificationStatusItem";

class KLHTTPClient : public std::enable_shared_from_this<KLHTTPClient> {
public:
    using ReachabilityBlock = std::function<void(KLNetworkReachabilityStatus status)>;
    using MultipartFormBlock = std::function<void(KLMultipartFormData& formData)>;
    using BatchProgressBlock = std::function<void(size_t numberOfFinishedOperations, size_t totalNumberOfOperations)>;
    using BatchCompletionBlock = std::function<void(const std::vector<std::shared_ptr<KLHTTPRequestOperation>>& operations)>;

    // A client whose paths are relative to baseURL; it starts following the host's reachability.
    static std::shared_ptr<KLHTTPClient> clientWithBaseURL(const std::string& baseURL);
    ~KLHTTPClient();
    KLHTTPClient(const KLHTTPClient&) = delete;
    KLHTTPClient& operator=(const KLHTTPClient&) = delete;

    // Posted on the main loop when the reachability of a watched host by name changes.
    static Signal<KLNetworkReachabilityStatus>& reachabilityDidChangeNotification();
    // The User-Agent's product name and version (default: the executable's name and "1.0").
    static void setUserAgentApplication(std::string name, std::string version);

    // Empty when the text given was no absolute http or https URL (requests then fail as bad URLs).
    std::string baseURL() const;
    // IANA name of the encoding of query strings and form bodies ("utf-8").
    std::string stringEncoding() const;
    void setStringEncoding(std::string encoding);
    KLHTTPClientParameterEncoding parameterEncoding() const;
    void setParameterEncoding(KLHTTPClientParameterEncoding encoding);

    // Puts the class first among the candidates; false (and no change) for a class that is not an
    // HTTP request operation.
    template <class T>
    bool registerHTTPOperationClass() {
        if constexpr (std::is_base_of_v<KLHTTPRequestOperation, T>) return registerOperationClass(T::operationClass());
        else return false;
    }
    template <class T>
    void unregisterHTTPOperationClass() {
        if constexpr (std::is_base_of_v<KLHTTPRequestOperation, T>) unregisterOperationClass(T::operationClass().name);
    }
    std::vector<std::string> registeredHTTPOperationClassNames() const;

    std::optional<std::string> defaultValueForHeader(const std::string& header) const;
    // Nothing removes the header.
    void setDefaultHeader(const std::string& header, std::optional<std::string> value);
    KLHTTPHeaders defaultHeaders() const;
    void setAuthorizationHeaderWithUsername(const std::string& username, const std::string& password);
    void setAuthorizationHeaderWithToken(const std::string& token);
    void clearAuthorizationHeader();

    void setReachabilityStatusChangeBlock(ReachabilityBlock block);
    KLNetworkReachabilityStatus networkReachabilityStatus() const;
    void startMonitoringNetworkReachability();
    void stopMonitoringNetworkReachability();

    // The request for method and path (relative to the base URL). Parameters go into the query for
    // GET, HEAD and DELETE and into the body otherwise; a body that cannot be made leaves an error
    // in the request, which its operation reports instead of sending it.
    KLURLRequest requestWithMethod(const std::string& method, const std::string& path,
                                   const std::optional<Dictionary>& parameters) const;
    // An operation of the first registered class that takes the request, not yet queued.
    std::shared_ptr<KLHTTPRequestOperation> HTTPRequestOperationWithRequest(const KLURLRequest& request, KLHTTPSuccessBlock success,
                                                                            KLHTTPFailureBlock failure) const;
    void enqueueHTTPRequestOperation(const std::shared_ptr<KLHTTPRequestOperation>& operation);

    // A request whose body is a multipart form: one form part per parameter (nested keys as in a
    // query string), then whatever block appends.
    KLURLRequest multipartFormRequestWithMethod(const std::string& method, const std::string& path,
                                                const std::optional<Dictionary>& parameters, const MultipartFormBlock& block) const;

    // Queues the operations as one batch. After each one's own completion, progress gets the
    // number of the batch's operations completed so far (1, 2, ... n) and n, on that operation's
    // success callback queue; completion runs once, on the main loop, after the last report.
    void enqueueBatchOfHTTPRequestOperations(const std::vector<std::shared_ptr<KLHTTPRequestOperation>>& operations,
                                             BatchProgressBlock progress, BatchCompletionBlock completion);
    // The same with one operation (without success or failure callbacks) per request.
    void enqueueBatchOfHTTPRequestOperationsWithRequests(const std::vector<KLURLRequest>& requests, BatchProgressBlock progress,
                                                         BatchCompletionBlock completion);

    void getPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                 KLHTTPFailureBlock failure);
    void postPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                  KLHTTPFailureBlock failure);
    void putPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                 KLHTTPFailureBlock failure);
    void deletePath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                    KLHTTPFailureBlock failure);
    void patchPath(const std::string& path, const std::optional<Dictionary>& parameters, KLHTTPSuccessBlock success,
                   KLHTTPFailureBlock failure);

    // Cancels every queued or running HTTP operation with that method (any method for nothing) and
    // the URL path of that relative path; query strings play no part.
    void cancelAllHTTPOperationsWithMethod(const std::optional<std::string>& method, const std::string& path);
    void cancelAllHTTPOperations();

    std::shared_ptr<KLOperationQueue> operationQueue() const { return operationQueue_; }
    // A new client on the same base URL with the same encodings, classes, headers and reachability block.
    std::shared_ptr<KLHTTPClient> copy() const;
    std::string description() const;

private:
    explicit KLHTTPClient(const std::string& baseURL);
    bool registerOperationClass(const KLHTTPOperationClass& operationClass);
    void unregisterOperationClass(const std::string& name);
    void enqueueRequest(const std::string& method, const std::string& path, const std::optional<Dictionary>& parameters,
                        KLHTTPSuccessBlock success, KLHTTPFailureBlock failure);
    void reachabilityStatusDidChange(KLNetworkReachabilityStatus status);

    const std::string baseURL_;
    const std::shared_ptr<KLOperationQueue> operationQueue_;

    mutable std::mutex lock_;
    std::string stringEncoding_;                                // guarded by lock_
    KLHTTPClientParameterEncoding parameterEncoding_;           // guarded by lock_
    std::vector<std::string> registeredHTTPOperationClassNames_;  // guarded by lock_
    KLHTTPHeaders defaultHeaders_;                              // guarded by lock_
    KLNetworkReachabilityStatus networkReachabilityStatus_;     // guarded by lock_
    ReachabilityBlock networkReachabilityStatusBlock_;          // guarded by lock_
    std::unique_ptr<KLNetworkReachabilityMonitor> networkReachability_;  // guarded by lock_
};

// The Accept-Language value for the preferred languages, most wanted first: "en;q=1, fr;q=0.9", at
// most six entries.
std::string KLAcceptLanguageHeaderValue(const std::vector<std::string>& languages);
// The preferred languages from the locale environment (LANGUAGE, else LC_ALL, LC_MESSAGES, LANG),
// as language tags ("fr-CH"); "en" when none is named.
std::vector<std::string> KLPreferredLanguages();

}  // namespace kl

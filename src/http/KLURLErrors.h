// Error domains, codes and user-information keys of the URL-loading layer and the HTTP client.
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace kl {

// URL-loading errors: the connection's own failures and cancellation.
inline constexpr const char* kKLURLErrorDomain = "NSURLErrorDomain";
enum KLURLErrorCode : int {
    kKLURLErrorUnknown = -1,
    kKLURLErrorCancelled = -999,
    kKLURLErrorBadURL = -1000,
    kKLURLErrorTimedOut = -1001,
    kKLURLErrorUnsupportedURL = -1002,
    kKLURLErrorCannotFindHost = -1003,
    kKLURLErrorCannotConnectToHost = -1004,
    kKLURLErrorNetworkConnectionLost = -1005,
    kKLURLErrorHTTPTooManyRedirects = -1007,
    kKLURLErrorResourceUnavailable = -1008,
    kKLURLErrorNotConnectedToInternet = -1009,
    kKLURLErrorBadServerResponse = -1011,
    kKLURLErrorCannotDecodeContentData = -1016,
    kKLURLErrorCannotParseResponse = -1017,
    kKLURLErrorRequestBodyStreamExhausted = -1021,
    kKLURLErrorDataLengthExceedsMaximum = -1103,
    kKLURLErrorSecureConnectionFailed = -1200,
    kKLURLErrorServerCertificateHasBadDate = -1201,
    kKLURLErrorServerCertificateUntrusted = -1202,
    kKLURLErrorClientCertificateRejected = -1205,
    kKLURLErrorClientCertificateRequired = -1206,
};

// The URL (text) whose loading failed.
inline constexpr const char* kKLURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
// Why an operation could not be done, for the user.
inline constexpr const char* kKLLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
// The body of a refused response as text.
inline constexpr const char* kKLLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";

// Errors the HTTP layer makes for responses it does not accept.
inline constexpr const char* KLNetworkingErrorDomain = "KLNetworkingErrorDomain";
inline constexpr const char* KLNetworkingOperationFailingURLRequestErrorKey = "KLNetworkingOperationFailingURLRequestErrorKey";
inline constexpr const char* KLNetworkingOperationFailingURLResponseErrorKey = "KLNetworkingOperationFailingURLResponseErrorKey";

// Errors of the request layer's parameter and response encodings.
inline constexpr const char* kKLSerializationErrorDomain = "com.kelvaro.networking.serialization";

// The cancellation error, with the failing URL when there is one.
Error KLURLCancelledError(const std::string& url);
// A URL-loading error with a description and the failing URL.
Error KLURLError(int code, std::string description, const std::string& url);
// The URL-loading error for a libcurl result (not CURLE_OK); detail is curl's error buffer.
Error KLURLErrorFromCurl(int curlCode, std::string_view detail, const std::string& url);

}  // namespace kl

#include "http/KLURLErrors.h"

#include <curl/curl.h>

namespace kl {

Error KLURLError(int code, std::string description, const std::string& url) {
    Dictionary info;
    info.set(kErrorDescriptionKey, std::move(description));
    if (!url.empty()) info.set(kKLURLErrorFailingURLErrorKey, url);
    return Error(kKLURLErrorDomain, code, std::move(info));
}

Error KLURLCancelledError(const std::string& url) {
    Dictionary info;
    if (!url.empty()) info.set(kKLURLErrorFailingURLErrorKey, url);
    info.set(kErrorDescriptionKey, "cancelled");
    return Error(kKLURLErrorDomain, kKLURLErrorCancelled, std::move(info));
}

static int urlErrorCode(CURLcode code) {
    switch (code) {
    case CURLE_ABORTED_BY_CALLBACK: return kKLURLErrorCancelled;
    case CURLE_URL_MALFORMAT: return kKLURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return kKLURLErrorUnsupportedURL;
    case CURLE_OPERATION_TIMEDOUT: return kKLURLErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kKLURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return kKLURLErrorCannotConnectToHost;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return kKLURLErrorNetworkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS: return kKLURLErrorHTTPTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY: return kKLURLErrorBadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING: return kKLURLErrorCannotDecodeContentData;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return kKLURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CERTPROBLEM: return kKLURLErrorClientCertificateRejected;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED: return kKLURLErrorSecureConnectionFailed;
    default: return kKLURLErrorUnknown;
    }
}

Error KLURLErrorFromCurl(int curlCode, std::string_view detail, const std::string& url) {
    auto code = static_cast<CURLcode>(curlCode);
    std::string description = curl_easy_strerror(code);
    if (!detail.empty()) description += ": " + std::string(detail);
    Error error = KLURLError(urlErrorCode(code), std::move(description), url);
    error.userInfo().set("KLCurlErrorCode", int64_t(curlCode));
    return error;
}

}  // namespace kl

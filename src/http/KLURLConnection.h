// One URL connection: a libcurl easy handle set up from a request and run on the network thread.
// It collects the response head and hands body bytes to its owner as they arrive. Every method is
// called on the network thread only.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "http/KLURLRequest.h"

namespace kl {

class KLURLConnection {
public:
    struct Callbacks {
        // The response head, once, before the first body bytes (or at the end of a body-less reply).
        std::function<void(const KLHTTPURLResponse&)> didReceiveResponse;
        // Body bytes as they arrive; false stops the transfer (it then ends with an error).
        std::function<bool(const char* bytes, size_t length)> didReceiveData;
        // Upload progress: bytes sent since the last call, total sent, total to send.
        std::function<void(int64_t, int64_t, int64_t)> didSendBodyData;
        // The transfer ended: CURLE_OK or libcurl's failure code.
        std::function<void(CURLcode)> didComplete;
    };

    KLURLConnection(KLURLRequest request, Callbacks callbacks);
    ~KLURLConnection();
    KLURLConnection(const KLURLConnection&) = delete;
    KLURLConnection& operator=(const KLURLConnection&) = delete;

    // Hands the transfer to the network thread's multi handle. On failure the error says why and no
    // callback is called.
    std::optional<Error> start();
    // Stops the transfer; no callback is called afterwards.
    void cancel();
    // Delivers the response head if the transfer ended without body bytes.
    void flushResponse();
    // libcurl's error text for the last failure.
    std::string errorDetail() const { return errorBuffer_; }
    // Why the request body stream failed, when that ended the transfer.
    std::optional<Error> bodyStreamError() const { return bodyStreamError_; }

private:
    static size_t onHeader(char* data, size_t size, size_t count, void* user);
    static size_t onWrite(char* data, size_t size, size_t count, void* user);
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    static int onSeek(void* user, curl_off_t offset, int origin);
    void configureBody();
    // Resumes the paused upload once the body stream may give more, unless the connection is gone.
    void resumeWhenBodyReadable();
    std::optional<Error> configure();
    void deliverResponseIfNeeded();

    KLURLRequest request_;
    Callbacks callbacks_;
    CURL* easy_ = nullptr;
    struct curl_slist* headerList_ = nullptr;
    bool started_ = false;
    bool responseDelivered_ = false;
    KLHTTPHeaders currentHeaders_;  // header fields of the response now being received
    int64_t uploadedSoFar_ = 0;
    std::shared_ptr<KLInputStream> bodyStream_;  // opened on the first read
    bool bodyStreamOpened_ = false;
    std::optional<Error> bodyStreamError_;
    // Lives as long as the connection; resume requests from other threads hold it weakly.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace kl

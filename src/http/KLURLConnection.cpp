#include "http/KLURLConnection.h"

#include <cmath>

#include "foundation/KLTLogging.h"
#include "http/KLHTTPCookieStorage.h"
#include "http/KLNetworkRequestThread.h"
#include "http/KLURLErrors.h"

namespace kl {
namespace {

constexpr long kMaximumRedirects = 16;

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

KLURLConnection::KLURLConnection(KLURLRequest request, Callbacks callbacks)
    : request_(std::move(request)), callbacks_(std::move(callbacks)) {}

KLURLConnection::~KLURLConnection() {
    cancel();
    if (bodyStream_ && bodyStreamOpened_) bodyStream_->close();
    if (easy_) curl_easy_cleanup(easy_);
    if (headerList_) curl_slist_free_all(headerList_);
}

std::optional<Error> KLURLConnection::configure() {
    if (request_.bodyError) return request_.bodyError;
    if (request_.url.empty()) return KLURLError(kKLURLErrorBadURL, "bad URL", request_.url);
    easy_ = curl_easy_init();
    if (!easy_) return KLURLError(kKLURLErrorUnknown, "cannot create a connection", request_.url);

    curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaximumRedirects);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);

    // Peer verification is never switched off; only the trust anchors can be chosen.
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    std::string caFile = KLNetworkRequestThread::certificateAuthorityFile();
    if (!caFile.empty()) curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile.c_str());

    curl_easy_setopt(easy_, CURLOPT_SHARE, KLHTTPCookieStorage::sharedStorage().curlShare());
    curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");

    // The time-out is an idle limit: the connection fails once nothing moved for that long.
    double timeout = request_.timeoutInterval > 0 ? request_.timeoutInterval : kKLDefaultTimeoutInterval;
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, long(timeout * 1000));
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, std::max(1L, long(std::ceil(timeout))));

    const std::string& method = request_.HTTPMethod;
    if (method.empty() || hasLineBreak(method) || method.find(' ') != std::string::npos)
        return KLURLError(kKLURLErrorBadURL, "invalid HTTP method", request_.url);
    const Bytes* body = request_.HTTPBody ? &*request_.HTTPBody : nullptr;
    if (method == "GET") {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (request_.HTTPBodyStream) {
        configureBody();
        if (method != "POST") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        if (method == "POST" || body) {
            curl_easy_setopt(easy_, CURLOPT_POST, 1L);
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body ? body->size() : 0));
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body && !body->empty() ? (const char*)body->data() : "");
        }
        if (method != "POST") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    for (const auto& [name, value] : request_.allHTTPHeaderFields.fields()) {
        if (name.empty() || hasLineBreak(name) || hasLineBreak(value) || name.find(':') != std::string::npos)
            return KLURLError(kKLURLErrorBadURL, "invalid header field \"" + name + "\"", request_.url);
        // "Name;" is libcurl's way to send a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headerList_ = curl_slist_append(headerList_, line.c_str());
    }
    // libcurl would add a form content type to every POST and an "Expect" to large ones: only the
    // caller's fields go out.
    if (!request_.allHTTPHeaderFields.value("Content-Type")) headerList_ = curl_slist_append(headerList_, "Content-Type:");
    if (!request_.allHTTPHeaderFields.value("Expect")) headerList_ = curl_slist_append(headerList_, "Expect:");
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);

    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &KLURLConnection::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &KLURLConnection::onWrite);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (callbacks_.didSendBodyData) {
        curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &KLURLConnection::onProgress);
        curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    }
    return std::nullopt;
}

std::optional<Error> KLURLConnection::start() {
    if (auto error = configure()) return error;
    auto complete = callbacks_.didComplete;
    if (!KLNetworkRequestThread::shared().addTransfer(easy_, [complete](int code) { complete(CURLcode(code)); }))
        return KLURLError(kKLURLErrorUnknown, "cannot start the connection", request_.url);
    started_ = true;
    return std::nullopt;
}

void KLURLConnection::cancel() {
    if (!started_) return;
    started_ = false;
    KLNetworkRequestThread::shared().removeTransfer(easy_);
}

void KLURLConnection::configureBody() {
    // Each connection reads its own copy where the stream allows one, so the same request can be
    // sent again (a retry, a resumed operation); a one-shot stream is read where it stands.
    bodyStream_ = request_.HTTPBodyStream->copy();
    if (!bodyStream_) bodyStream_ = request_.HTTPBodyStream;
    auto length = bodyStream_->length();
    curl_easy_setopt(easy_, CURLOPT_POST, 1L);
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, nullptr);
    // Without a known length the body goes out in chunks.
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, length ? curl_off_t(*length) : curl_off_t(-1));
    curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &KLURLConnection::onRead);
    curl_easy_setopt(easy_, CURLOPT_READDATA, this);
    curl_easy_setopt(easy_, CURLOPT_SEEKFUNCTION, &KLURLConnection::onSeek);
    curl_easy_setopt(easy_, CURLOPT_SEEKDATA, this);
}

size_t KLURLConnection::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* self = static_cast<KLURLConnection*>(user);
    auto& stream = self->bodyStream_;
    if (!self->bodyStreamOpened_) {
        self->bodyStreamOpened_ = true;
        stream->open();
    }
    KLStreamReadResult result = stream->read(reinterpret_cast<uint8_t*>(buffer), size * count);
    switch (result.status) {
    case KLStreamReadResult::Read:
        if (result.length > 0) return result.length;
        [[fallthrough]];
    case KLStreamReadResult::NotYet:
        // Pausing keeps the network thread free for every other transfer meanwhile.
        self->resumeWhenBodyReadable();
        return CURL_READFUNC_PAUSE;
    case KLStreamReadResult::End: return 0;
    case KLStreamReadResult::Failed:
    default:
        self->bodyStreamError_ = stream->streamError().value_or(
            KLURLError(kKLURLErrorRequestBodyStreamExhausted, "the request body could not be read", self->request_.url));
        if (!self->bodyStreamError_->userInfo().contains(kKLURLErrorFailingURLErrorKey))
            self->bodyStreamError_->userInfo().set(kKLURLErrorFailingURLErrorKey, self->request_.url);
        KLLog(kKLTLoggingLevelError, "Request body of %s failed: %s", self->request_.url.c_str(),
              self->bodyStreamError_->description().c_str());
        return CURL_READFUNC_ABORT;
    }
}

void KLURLConnection::resumeWhenBodyReadable() {
    std::weak_ptr<int> alive = lifetime_;
    CURL* easy = easy_;
    bodyStream_->notifyWhenReadable([alive, easy] {
        KLNetworkRequestThread::shared().perform([alive, easy] {
            // The connection (and its handle) are destroyed on this thread only, so this check holds.
            if (alive.lock()) curl_easy_pause(easy, CURLPAUSE_CONT);
        });
    });
}

// libcurl rewinds the body to send it again (a redirect that keeps the method, or an
// authentication round): a fresh copy of the stream stands in, when the stream can be copied.
int KLURLConnection::onSeek(void* user, curl_off_t offset, int origin) {
    auto* self = static_cast<KLURLConnection*>(user);
    if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    if (!self->bodyStreamOpened_) return CURL_SEEKFUNC_OK;
    auto fresh = self->bodyStream_->copy();
    if (!fresh) return CURL_SEEKFUNC_CANTSEEK;
    self->bodyStream_->close();
    self->bodyStream_ = std::move(fresh);
    self->bodyStreamOpened_ = false;
    return CURL_SEEKFUNC_OK;
}

size_t KLURLConnection::onHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<KLURLConnection*>(user);
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new response begins (after an interim 1xx reply or a redirect): forget the last head.
        self->currentHeaders_ = {};
        return line.size();
    }
    std::string_view content = trimmed(line);
    size_t colon = content.find(':');
    if (colon != std::string_view::npos && colon > 0)
        self->currentHeaders_.set(trimmed(content.substr(0, colon)), std::string(trimmed(content.substr(colon + 1))));
    return line.size();
}

void KLURLConnection::deliverResponseIfNeeded() {
    if (responseDelivered_ || !easy_) return;
    responseDelivered_ = true;
    KLHTTPURLResponse response;
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = status;
    char* effectiveURL = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effectiveURL);
    response.url = effectiveURL ? effectiveURL : request_.url;
    curl_off_t length = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    response.expectedContentLength = length;
    response.allHeaderFields = currentHeaders_;
    if (const std::string* contentType = currentHeaders_.value("Content-Type")) {
        KLContentType parsed = parseContentType(*contentType);
        response.MIMEType = parsed.mediaType;
        response.textEncodingName = parsed.charset;
    }
    if (callbacks_.didReceiveResponse) callbacks_.didReceiveResponse(response);
}

void KLURLConnection::flushResponse() {
    long status = 0;
    if (easy_) curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0) deliverResponseIfNeeded();
}

size_t KLURLConnection::onWrite(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<KLURLConnection*>(user);
    size_t length = size * count;
    self->deliverResponseIfNeeded();
    if (self->callbacks_.didReceiveData && !self->callbacks_.didReceiveData(data, length)) return 0;
    return length;
}

int KLURLConnection::onProgress(void* user, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded) {
    auto* self = static_cast<KLURLConnection*>(user);
    if (uploaded > self->uploadedSoFar_) {
        int64_t sent = uploaded - self->uploadedSoFar_;
        self->uploadedSoFar_ = uploaded;
        self->callbacks_.didSendBodyData(sent, uploaded, uploadTotal);
    }
    return 0;
}

}  // namespace kl

#include "http/KLMultipartFormData.h"

#include <sys/stat.h>
#include <unistd.h>

#include "http/KLMIMEType.h"
#include "http/KLTextEncoding.h"
#include "http/KLURLErrors.h"

namespace kl {
namespace {

// HTML's escaping of names in form-data: nothing inside the quotes can close them or break the line.
std::string quotedParameterValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"') out += "%22";
        else if (c == '\r') out += "%0D";
        else if (c == '\n') out += "%0A";
        else out += c;
    }
    return out;
}

KLHTTPHeaders fileHeaders(const std::string& name, const std::string& fileName, const std::string& mimeType) {
    KLHTTPHeaders headers;
    headers.set("Content-Disposition", KLContentDispositionForFormPart(name, fileName));
    headers.set("Content-Type", mimeType);
    return headers;
}

Error fileURLError(const std::string& reason, const std::string& url) {
    Dictionary info;
    info.set(kKLLocalizedFailureReasonErrorKey, reason);
    info.set(kErrorDescriptionKey, reason);
    info.set(kKLURLErrorFailingURLErrorKey, url);
    return Error(KLNetworkingErrorDomain, kKLURLErrorBadURL, std::move(info));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The local path of a "file:" URL (host empty or "localhost"), percent escapes decoded; nothing
// for any other URL.
std::optional<std::string> pathOfFileURL(const std::string& url) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size() || !equalsIgnoringCase(std::string_view(url).substr(0, scheme.size()), scheme))
        return std::nullopt;
    std::string_view rest = std::string_view(url).substr(scheme.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !equalsIgnoringCase(host, "localhost")) return std::nullopt;
    std::string_view encoded = rest.substr(slash);
    encoded = encoded.substr(0, encoded.find_first_of("?#"));
    std::string path;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            path += encoded[i];
            continue;
        }
        int high = i + 2 < encoded.size() ? hexValue(encoded[i + 1]) : -1;
        int low = i + 2 < encoded.size() ? hexValue(encoded[i + 2]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        char decoded = char(high * 16 + low);
        if (decoded == '\0') return std::nullopt;
        path += decoded;
        i += 2;
    }
    return path;
}

std::string lastPathComponent(const std::string& path) {
    std::string trimmedPath = path;
    while (trimmedPath.size() > 1 && trimmedPath.back() == '/') trimmedPath.pop_back();
    size_t slash = trimmedPath.rfind('/');
    return slash == std::string::npos ? trimmedPath : trimmedPath.substr(slash + 1);
}

std::string pathExtension(const std::string& fileName) {
    size_t dot = fileName.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : fileName.substr(dot + 1);
}

}  // namespace

std::string KLContentDispositionForFormPart(const std::string& name, const std::optional<std::string>& fileName) {
    std::string value = "form-data; name=\"" + quotedParameterValue(name) + "\"";
    if (fileName) value += "; filename=\"" + quotedParameterValue(*fileName) + "\"";
    return value;
}

KLStreamingMultipartFormData::KLStreamingMultipartFormData(KLURLRequest request, std::string stringEncoding)
    : request_(std::move(request)),
      stringEncoding_(std::move(stringEncoding)),
      bodyStream_(std::make_shared<KLMultipartBodyStreamProvider>(stringEncoding_)) {}

void KLStreamingMultipartFormData::recordError(Error error) {
    if (!error_) error_ = std::move(error);
}

void KLStreamingMultipartFormData::appendPart(const KLHTTPHeaders& headers, KLHTTPBodyPartBody body, uint64_t length) {
    std::string text;
    for (const auto& [name, value] : headers.fields()) {
        bool badName = name.empty() || name.find_first_of(":\r\n") != std::string::npos;
        if (badName || value.find_first_of("\r\n") != std::string::npos) {
            recordError(Error::withDescription(kKLSerializationErrorDomain, 3,
                                               "multipart part header \"" + quotedParameterValue(name) +
                                                   "\" has a line break or is no header name"));
            return;
        }
        text += name + ": " + value + "\r\n";
    }
    auto encoded = encodeText(text, stringEncoding_);
    if (!encoded) {
        recordError(Error::withDescription(kKLSerializationErrorDomain, 2,
                                           "multipart part headers have no form in " + stringEncoding_));
        return;
    }
    bodyStream_->appendHTTPBodyPart(std::make_unique<KLHTTPBodyPart>(std::move(*encoded), std::move(body), length));
}

bool KLStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL, const std::string& name, Error* error) {
    auto path = pathOfFileURL(fileURL);
    std::string fileName = path ? lastPathComponent(*path) : std::string();
    return appendPartWithFileURL(fileURL, name, fileName, KLMIMETypeForPathExtension(pathExtension(fileName)), error);
}

bool KLStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL, const std::string& name,
                                                         const std::string& fileName, const std::string& mimeType, Error* error) {
    auto path = pathOfFileURL(fileURL);
    if (!path) {
        if (error) *error = fileURLError("Expected URL to be a file URL", fileURL);
        return false;
    }
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(path->c_str(), R_OK) != 0) {
        if (error) *error = fileURLError("File URL not reachable.", fileURL);
        return false;
    }
    appendPart(fileHeaders(name, fileName, mimeType), KLFileBody{*path}, uint64_t(info.st_size));
    return true;
}

void KLStreamingMultipartFormData::appendPartWithInputStream(std::shared_ptr<KLInputStream> stream, const std::string& name,
                                                             const std::string& fileName, uint64_t length,
                                                             const std::string& mimeType) {
    appendPart(fileHeaders(name, fileName, mimeType), std::move(stream), length);
}

void KLStreamingMultipartFormData::appendPartWithFileData(const Bytes& data, const std::string& name, const std::string& fileName,
                                                          const std::string& mimeType) {
    appendPart(fileHeaders(name, fileName, mimeType), std::make_shared<const Bytes>(data), data.size());
}

void KLStreamingMultipartFormData::appendPartWithFormData(const Bytes& data, const std::string& name) {
    KLHTTPHeaders headers;
    headers.set("Content-Disposition", KLContentDispositionForFormPart(name, std::nullopt));
    appendPart(headers, std::make_shared<const Bytes>(data), data.size());
}

void KLStreamingMultipartFormData::appendPartWithHeaders(const KLHTTPHeaders& headers, const Bytes& body) {
    appendPart(headers, std::make_shared<const Bytes>(body), body.size());
}

void KLStreamingMultipartFormData::throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) {
    bodyStream_->setBufferLength(numberOfBytes);
    bodyStream_->setDelay(delay);
}

KLURLRequest KLStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    KLURLRequest request = request_;
    if (error_ && !request.bodyError) request.bodyError = error_;
    if (bodyStream_->isEmpty()) return request;
    bodyStream_->setInitialAndFinalBoundaries();
    request.setValue(std::string("multipart/form-data; boundary=") + kKLMultipartFormBoundary, "Content-Type");
    request.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
    request.HTTPBody.reset();
    request.HTTPBodyStream = bodyStream_->inputStream();
    return request;
}

}  // namespace kl

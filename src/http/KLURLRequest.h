// The request and response records of the URL-loading layer: what an operation sends and what it
// got back. Plain values, copied freely between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/KLInputStream.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

// HTTP header fields in the order they were first set; names compare case-insensitively, as
// HTTP defines them.
class KLHTTPHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    const std::string* value(std::string_view name) const;
    // Replaces the value of an existing field (keeping its position), or appends a new one.
    void set(std::string_view name, std::string value);
    void remove(std::string_view name);
    bool empty() const { return fields_.empty(); }
    size_t size() const { return fields_.size(); }
    const std::vector<Field>& fields() const { return fields_; }
    bool operator==(const KLHTTPHeaders&) const = default;

private:
    std::vector<Field> fields_;
};

// The platform's default request time-out: the longest a connection may stay idle.
inline constexpr double kKLDefaultTimeoutInterval = 60.0;

struct KLURLRequest {
    // Absolute URL; empty when it could not be built (the operation then fails with a bad-URL error).
    std::string url;
    std::string HTTPMethod = "GET";
    KLHTTPHeaders allHTTPHeaderFields;
    std::optional<Bytes> HTTPBody;
    // A body read while it is sent (a multipart form); takes the place of HTTPBody. Copies of the
    // request share it, and it can be sent once unless it can be copied.
    std::shared_ptr<KLInputStream> HTTPBodyStream;
    // Seconds without progress before the request fails with a time-out.
    double timeoutInterval = kKLDefaultTimeoutInterval;
    // Set when the body could not be made from the caller's parameters: such a request is never
    // sent, its operation fails with this error instead.
    std::optional<Error> bodyError;

    const std::string* valueForHTTPHeaderField(std::string_view name) const { return allHTTPHeaderFields.value(name); }
    void setValue(std::string value, std::string_view field) { allHTTPHeaderFields.set(field, std::move(value)); }
    // A short rendering for logs and error information.
    Value descriptionValue() const;
};

struct KLHTTPURLResponse {
    // The URL the response came from (after redirects).
    std::string url;
    // 0 for a response that is not HTTP.
    long statusCode = 0;
    KLHTTPHeaders allHeaderFields;
    // The media type of "Content-Type" (without parameters), empty when the header is missing.
    std::string MIMEType;
    // The "charset" parameter of "Content-Type", empty when none is named.
    std::string textEncodingName;
    // The "Content-Length" announced, -1 when unknown.
    int64_t expectedContentLength = -1;

    bool isHTTP() const { return statusCode > 0; }
    Value descriptionValue() const;
};

// The media type and charset of a "Content-Type" value: type and subtype as sent (trimmed), charset
// unquoted. Both empty when the value names nothing.
struct KLContentType {
    std::string mediaType;
    std::string charset;
};
KLContentType parseContentType(std::string_view headerValue);

// ASCII case-insensitive comparisons for header names, media types and charsets.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
std::string lowercased(std::string_view text);
std::string_view trimmed(std::string_view text);

}  // namespace kl

// URL text helpers of the request layer: base-URL normalisation, resolution of a relative path
// against a base (RFC 3986, done by libcurl's URL parser) and the parts the client compares.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kl::url {

// The base URL with "/" appended to a non-empty path that lacks it ("https://h/api/v1" gives
// "https://h/api/v1/"); a URL without a path stays as it is. Nothing when the text is no absolute
// http or https URL.
std::optional<std::string> normalizedBaseURL(std::string_view text);

// relative resolved against base, as an absolute URL; nothing when either does not parse.
std::optional<std::string> resolve(std::string_view base, std::string_view relative);

// Parts of an absolute URL; empty when it has none or does not parse. path() is as written
// (percent escapes kept), "/" for a URL without one.
std::string path(std::string_view absoluteURL);
std::string host(std::string_view absoluteURL);
// The extension of the path's last component ("json" for /a/b.json), empty when it has none.
std::string pathExtension(std::string_view absoluteURL);

}  // namespace kl::url

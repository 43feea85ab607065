#include "http/KLURL.h"

#include <curl/curl.h>

#include <memory>

namespace kl::url {
namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

UrlHandle parse(std::string_view text) {
    UrlHandle handle(curl_url());
    if (!handle) return nullptr;
    std::string owned(text);
    if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), 0) != CURLUE_OK) return nullptr;
    return handle;
}

std::string part(CURLU* handle, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(handle, which, &text, 0) != CURLUE_OK || !text) return {};
    std::string result(text);
    curl_free(text);
    return result;
}

bool isHttpScheme(CURLU* handle) {
    std::string scheme = part(handle, CURLUPART_SCHEME);
    return scheme == "http" || scheme == "https";
}

// Where the path of an absolute URL text begins and ends, read from the text itself: libcurl
// normalises an empty path to "/", which must not count as a path here.
std::pair<size_t, size_t> pathRange(std::string_view text) {
    size_t start = text.find("://");
    start = start == std::string_view::npos ? 0 : start + 3;
    size_t authorityEnd = text.find_first_of("/?#", start);
    if (authorityEnd == std::string_view::npos) return {text.size(), text.size()};
    if (text[authorityEnd] != '/') return {authorityEnd, authorityEnd};
    size_t end = text.find_first_of("?#", authorityEnd);
    return {authorityEnd, end == std::string_view::npos ? text.size() : end};
}

}  // namespace

std::optional<std::string> normalizedBaseURL(std::string_view text) {
    auto handle = parse(text);
    if (!handle || !isHttpScheme(handle.get())) return std::nullopt;
    std::string result(text);
    auto [start, end] = pathRange(result);
    if (end > start && result.back() != '/') result.insert(result.begin() + std::ptrdiff_t(end), '/');
    return result;
}

std::optional<std::string> resolve(std::string_view base, std::string_view relative) {
    auto handle = parse(base);
    if (!handle) return std::nullopt;
    std::string owned(relative);
    if (!owned.empty() && curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    std::string result = part(handle.get(), CURLUPART_URL);
    if (result.empty()) return std::nullopt;
    return result;
}

std::string path(std::string_view absoluteURL) {
    auto handle = parse(absoluteURL);
    return handle ? part(handle.get(), CURLUPART_PATH) : std::string();
}

std::string host(std::string_view absoluteURL) {
    auto handle = parse(absoluteURL);
    if (!handle) return {};
    std::string h = part(handle.get(), CURLUPART_HOST);
    // A literal IPv6 address comes back in brackets; resolvers want it bare.
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    return h;
}

std::string pathExtension(std::string_view absoluteURL) {
    std::string p = path(absoluteURL);
    size_t slash = p.rfind('/');
    std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return last.substr(dot + 1);
}

}  // namespace kl::url

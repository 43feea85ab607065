// libFuzzer target over the texts of HTTP replies the client reads: "Content-Type" values and the
// charset they name, the bytes of a body decoded in that charset, acceptable-type lists, and URLs
// (a redirect's location resolved against the request's).
#include <cstdint>
#include <string>
#include <string_view>

#include "http/KLHTTPRequestOperation.h"
#include "http/KLTextEncoding.h"
#include "http/KLURL.h"
#include "http/KLURLRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Two texts: a header value (up to the first newline) and what follows it.
    size_t cut = input.find('\n');
    std::string_view header = input.substr(0, cut);
    std::string_view rest = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

    auto type = kl::parseContentType(header);
    if (!type.charset.empty()) {
        if (auto text = kl::decodeText(rest, type.charset)) {
            if (!kl::isValidUTF8(*text)) __builtin_trap();
        }
    }
    std::string headerText(header);
    (void)kl::KLContentTypesFromHTTPHeader(&headerText);

    (void)kl::url::normalizedBaseURL(header);
    if (auto resolved = kl::url::resolve("http://example.invalid/a/b?c=d", rest)) {
        (void)kl::url::host(*resolved);
        (void)kl::url::path(*resolved);
        (void)kl::url::pathExtension(*resolved);
    }
    return 0;
}

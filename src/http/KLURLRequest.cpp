#include "http/KLURLRequest.h"

#include <algorithm>
#include <cctype>

namespace kl {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

const std::string* KLHTTPHeaders::value(std::string_view name) const {
    for (const auto& [field, value] : fields_)
        if (equalsIgnoringCase(field, name)) return &value;
    return nullptr;
}

void KLHTTPHeaders::set(std::string_view name, std::string value) {
    for (auto& [field, current] : fields_) {
        if (equalsIgnoringCase(field, name)) {
            current = std::move(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::move(value));
}

void KLHTTPHeaders::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
}

static Value headersValue(const KLHTTPHeaders& headers) {
    Dictionary d;
    for (const auto& [name, value] : headers.fields()) d.set(name, value);
    return d;
}

Value KLURLRequest::descriptionValue() const {
    return Dictionary{{"URL", url}, {"HTTPMethod", HTTPMethod}, {"allHTTPHeaderFields", headersValue(allHTTPHeaderFields)}};
}

Value KLHTTPURLResponse::descriptionValue() const {
    return Dictionary{{"URL", url},
                      {"statusCode", int64_t(statusCode)},
                      {"MIMEType", MIMEType},
                      {"allHeaderFields", headersValue(allHeaderFields)}};
}

KLContentType parseContentType(std::string_view headerValue) {
    KLContentType result;
    size_t semicolon = headerValue.find(';');
    result.mediaType = std::string(trimmed(headerValue.substr(0, semicolon)));
    while (semicolon != std::string_view::npos) {
        std::string_view rest = headerValue.substr(semicolon + 1);
        semicolon = rest.find(';');
        std::string_view parameter = trimmed(rest.substr(0, semicolon));
        headerValue = rest;
        size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) continue;
        if (!equalsIgnoringCase(trimmed(parameter.substr(0, equals)), "charset")) continue;
        std::string_view value = trimmed(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        result.charset = std::string(value);
        break;
    }
    return result;
}

}  // namespace kl

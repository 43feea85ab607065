#include "http/KLQueryString.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "http/KLTextEncoding.h"
#include "http/KLURLErrors.h"
#include "http/KLURLRequest.h"

namespace kl {
namespace {

bool lessIgnoringCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

std::string doubleText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    return std::string(buffer, result.ptr);
}

std::string hexBytes(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text = "<";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text + ">";
}

std::string dateText(const Date& date) {
    std::time_t seconds = std::time_t(std::floor(date.secondsSince1970));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return buffer;
}

}  // namespace

std::string KLQueryStringDescription(const Value& value) {
    switch (value.type()) {
    case Value::Type::Null: return "";
    case Value::Type::Bool: return *value.asBool() ? "1" : "0";
    case Value::Type::Int: return std::to_string(*value.asInt());
    case Value::Type::UInt: return std::to_string(*value.asUInt());
    case Value::Type::Double: return doubleText(*value.asDouble());
    case Value::Type::String: return *value.asString();
    case Value::Type::Bytes: return hexBytes(*value.asBytes());
    case Value::Type::Date: return dateText(*value.asDate());
    case Value::Type::Array:
    case Value::Type::Dictionary: return value.description();
    }
    return "";
}

std::optional<std::string> KLPercentEscapedQueryStringPairMemberFromStringWithEncoding(std::string_view text,
                                                                                       std::string_view encoding) {
    auto encoded = encodeText(text, encoding);
    if (!encoded) return std::nullopt;
    static const char* hex = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(encoded->size() * 3);
    for (unsigned char c : *encoded) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                    c == '.' || c == '[' || c == ']';
        if (keep) {
            escaped += char(c);
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 15];
        }
    }
    return escaped;
}

std::optional<std::string> KLQueryStringPair::URLEncodedStringValueWithEncoding(std::string_view encoding) const {
    auto escapedField = KLPercentEscapedQueryStringPairMemberFromStringWithEncoding(field.value_or("(null)"), encoding);
    if (!escapedField) return std::nullopt;
    if (value.isNull()) return escapedField;
    auto escapedValue = KLPercentEscapedQueryStringPairMemberFromStringWithEncoding(KLQueryStringDescription(value), encoding);
    if (!escapedValue) return std::nullopt;
    return *escapedField + "=" + *escapedValue;
}

std::vector<KLQueryStringPair> KLQueryStringPairsFromKeyAndValue(const std::optional<std::string>& key, const Value& value) {
    std::vector<KLQueryStringPair> pairs;
    if (const Dictionary* dictionary = value.asDictionary()) {
        std::vector<const Dictionary::Entry*> entries;
        for (const auto& entry : *dictionary) entries.push_back(&entry);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto* a, const auto* b) { return lessIgnoringCase(a->first, b->first); });
        for (const auto* entry : entries) {
            std::optional<std::string> nestedKey = key ? *key + "[" + entry->first + "]" : entry->first;
            auto nested = KLQueryStringPairsFromKeyAndValue(nestedKey, entry->second);
            pairs.insert(pairs.end(), std::make_move_iterator(nested.begin()), std::make_move_iterator(nested.end()));
        }
    } else if (const Array* array = value.asArray()) {
        std::optional<std::string> arrayKey = key.value_or("(null)") + "[]";
        for (const auto& element : *array) {
            auto nested = KLQueryStringPairsFromKeyAndValue(arrayKey, element);
            pairs.insert(pairs.end(), std::make_move_iterator(nested.begin()), std::make_move_iterator(nested.end()));
        }
    } else {
        pairs.emplace_back(key, value);
    }
    return pairs;
}

std::vector<KLQueryStringPair> KLQueryStringPairsFromDictionary(const Dictionary& dictionary) {
    return KLQueryStringPairsFromKeyAndValue(std::nullopt, Value(dictionary));
}

Result<std::string> KLQueryStringFromParametersWithEncoding(const Dictionary& parameters, std::string_view encoding) {
    std::string query;
    bool first = true;
    for (const auto& pair : KLQueryStringPairsFromDictionary(parameters)) {
        auto text = pair.URLEncodedStringValueWithEncoding(encoding);
        if (!text)
            return Error::withDescription(kKLSerializationErrorDomain, 1,
                                          "Parameter \"" + pair.field.value_or("") + "\" cannot be written in " +
                                              std::string(encoding));
        if (!first) query += "&";
        query += *text;
        first = false;
    }
    return query;
}

}  // namespace kl

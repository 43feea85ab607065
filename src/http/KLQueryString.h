// The client's query-string encoder: parameters become "field=value" pairs joined by "&", nested
// dictionaries as user[email]=..., arrays as k[]=..., keys sorted case-insensitively. Its own
// percent escaping leaves only ASCII letters, digits and "-_.[]" as they are.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

struct KLQueryStringPair {
    // Nothing for the pair of a value given without a key.
    std::optional<std::string> field;
    Value value;

    KLQueryStringPair(std::optional<std::string> f, Value v) : field(std::move(f)), value(std::move(v)) {}
    // "field=value" escaped, or the escaped field alone for a null value; nothing when a member has
    // no form in the encoding.
    std::optional<std::string> URLEncodedStringValueWithEncoding(std::string_view encoding) const;
};

std::vector<KLQueryStringPair> KLQueryStringPairsFromKeyAndValue(const std::optional<std::string>& key, const Value& value);
std::vector<KLQueryStringPair> KLQueryStringPairsFromDictionary(const Dictionary& dictionary);
// The query string of the parameters, or an error when some text has no form in the encoding.
Result<std::string> KLQueryStringFromParametersWithEncoding(const Dictionary& parameters, std::string_view encoding);
// text converted to the encoding, every byte outside [A-Za-z0-9-_.[]] written as %XX.
std::optional<std::string> KLPercentEscapedQueryStringPairMemberFromStringWithEncoding(std::string_view text,
                                                                                       std::string_view encoding);
// The text a value stands for in a query: strings as they are, numbers in decimal, booleans as
// 1 or 0.
std::string KLQueryStringDescription(const Value& value);

}  // namespace kl

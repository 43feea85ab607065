// JSON bridge of kl::Value (nlohmann-json underneath; callers never see it).
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

inline constexpr const char* kJsonErrorDomain = "com.kelvaro.json";

struct JsonParseOptions {
    // Only an object or an array is a valid top-level document when set.
    bool requireContainer = false;
    // Nesting deeper than this is refused.
    int maxDepth = 512;
};

// Integers that fit int64 decode as Int, larger non-negative ones as UInt. Errors carry a
// description of what failed and never throw.
Result<Value> valueFromJson(std::string_view text, JsonParseOptions options = {});

// Bytes are written as URL-unsafe standard Base64 strings and dates as seconds since 1970
// (numbers): JSON has no such types, so these do not round-trip as their own type.
std::string valueToJson(const Value& value, bool pretty = false);

}  // namespace kl

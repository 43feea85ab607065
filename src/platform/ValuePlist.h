// Property-list bridge of kl::Value (libplist underneath): binary and XML documents.
#pragma once

#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

inline constexpr const char* kPlistErrorDomain = "com.kelvaro.plist";

enum class PlistFormat { Binary, Xml };

// Reads a binary or XML property list. The property-list library keeps integers as 64-bit patterns
// without a sign, so every integer decodes as Int (negative numbers round-trip; a UInt comes back as
// an Int, which asUInt() still reads when it is at most INT64_MAX).
Result<Value> valueFromPlist(std::string_view data);
Result<Bytes> valueToPlist(const Value& value, PlistFormat format = PlistFormat::Binary);

}  // namespace kl

// UUID texts, joining names and backtraces.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl {

using UUIDBytes = std::array<uint8_t, 16>;

// The canonical 36-character upper-case form of 16 UUID bytes (network order).
std::string stringWithUUIDBytes(const uint8_t* bytes);
std::string stringWithCFUUIDBytes(const UUIDBytes& bytes);
// A new random (version 4) UUID's text.
std::string stringWithNewUUID();
// The 16 bytes of a UUID text (either case); all zero when it does not parse.
UUIDBytes CFUUIDCreateBytesFromString(std::string_view text);

// Appends each non-empty string element followed by separator unless it is the array's last
// element; elements that are not strings and empty strings are skipped with their separator.
std::string stringByAppendingComponentsSeparatedByString(const Array& components, std::string_view separator);

struct KLTBacktrace {
    // The calling thread's stack, up to 256 frames, one symbolic line each.
    static std::string currentBacktraceString();
    // The same framed for log files: "\n", 60 "+", "\n", the backtrace, 60 "-", "\n".
    static std::string delimitedBacktraceString();
};

}  // namespace kl

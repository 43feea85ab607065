// Small file helpers shared by the stores that keep state on disk.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

// An Error in the POSIX domain for errno value err, described as "what: strerror".
Error posixError(int err, std::string_view what);

// Writes data to a temporary file beside target, flushes it and renames it over target, so readers
// see either the old or the new contents. Missing parent folders are created with dirMode.
Result<bool> writeFileAtomically(const std::filesystem::path& target, std::string_view data, mode_t fileMode = 0644,
                                 mode_t dirMode = 0755);

// The whole file, or an error (missing file: ENOENT). Files larger than maxBytes are refused.
Result<std::string> readFile(const std::filesystem::path& file, size_t maxBytes = 64u << 20);

}  // namespace kl

// Small readers of the system's text files (sysfs, /etc) under the overridable root, and the text
// helpers they need, shared by the device identity and system information classes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kl::systemfiles {

// The file at an absolute system path (placed under kl::paths::root()), with white space trimmed
// from both ends; nothing when it is missing, unreadable, larger than 64 KiB or empty after trimming.
std::optional<std::string> readTrimmed(std::string_view absolutePath);

std::string trim(std::string_view text);
bool containsIgnoringCase(std::string_view text, std::string_view needle);

// KEY=value lines of an os-release or machine-info file; values lose one level of quotes and their
// backslash escapes. Comments and malformed lines are skipped.
std::map<std::string, std::string> parseShellAssignments(std::string_view text);

}  // namespace kl::systemfiles

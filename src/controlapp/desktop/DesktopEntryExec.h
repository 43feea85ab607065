// The Exec line of a desktop entry: an argument list quoted by the Desktop Entry rules (reserved
// characters inside double quotes, the quote-level escapes, "%%" for a literal percent), then
// escaped as a string value. Parsing undoes both layers.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kl {

// nullopt when an argument holds a control character, which an Exec line cannot carry.
std::optional<std::string> quoteDesktopExec(const std::vector<std::string>& argv);
// The arguments of an Exec value as it stands in the file; nullopt when its quoting is broken.
std::optional<std::vector<std::string>> parseDesktopExec(const std::string& value);
// A plain string value (Name=...): backslash, newline, tab and carriage return escaped.
std::string escapeDesktopString(const std::string& text);

}  // namespace kl

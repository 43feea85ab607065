#include "foundation/KLTSystemFiles.h"

#include <algorithm>
#include <cctype>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace kl::systemfiles {

std::string trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kSpace);
    return std::string(text.substr(first, last - first + 1));
}

bool containsIgnoringCase(std::string_view text, std::string_view needle) {
    auto lower = [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

std::optional<std::string> readTrimmed(std::string_view absolutePath) {
    auto contents = readFile(paths::system(absolutePath), 64 * 1024);
    if (!contents.ok()) return std::nullopt;
    // Device-tree strings end in NUL bytes.
    std::string text = contents.value();
    while (!text.empty() && text.back() == '\0') text.pop_back();
    std::string trimmed = trim(text);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

std::map<std::string, std::string> parseShellAssignments(std::string_view text) {
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line = trim(text.substr(start, end - start));
        start = end + 1;
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos || equals == 0) continue;
        std::string key = line.substr(0, equals);
        std::string raw = line.substr(equals + 1);
        std::string value;
        char quote = 0;
        if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) quote = raw[0];
        for (size_t i = quote ? 1 : 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (quote && c == quote) break;
            if (c == '\\' && quote != '\'' && i + 1 < raw.size()) c = raw[++i];
            value += c;
        }
        values[key] = value;
    }
    return values;
}

}  // namespace kl::systemfiles

#include "controlapp/desktop/DesktopEntryExec.h"

#include <cstring>

namespace kl {

namespace {

constexpr const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string quoteArgument(const std::string& arg) {
    std::string out;
    const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string::npos;
    if (quote) out += '"';
    for (char c : arg) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && std::strchr("\"`$\\", c)) out += '\\';
        out += c;
    }
    if (quote) out += '"';
    return out;
}

}  // namespace

std::string escapeDesktopString(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::optional<std::string> quoteDesktopExec(const std::vector<std::string>& argv) {
    if (argv.empty()) return std::nullopt;
    std::string line;
    for (const auto& arg : argv) {
        if (hasControlCharacter(arg)) return std::nullopt;
        if (!line.empty()) line += ' ';
        line += quoteArgument(arg);
    }
    return escapeDesktopString(line);
}

std::optional<std::vector<std::string>> parseDesktopExec(const std::string& value) {
    // String level first: "\\" is one backslash, "\s" a blank and so on.
    std::string line;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            line += value[i];
            continue;
        }
        if (++i == value.size()) return std::nullopt;
        switch (value[i]) {
        case 's': line += ' '; break;
        case 'n': line += '\n'; break;
        case 't': line += '\t'; break;
        case 'r': line += '\r'; break;
        case '\\': line += '\\'; break;
        default: return std::nullopt;
        }
    }
    std::vector<std::string> args;
    std::string current;
    bool inArg = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\') {
                if (++i == line.size() || !std::strchr("\"`$\\", line[i])) return std::nullopt;
                current += line[i];
            } else if (c == '%') {
                if (++i == line.size() || line[i] != '%') return std::nullopt;
                current += '%';
            } else {
                current += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (inArg) args.push_back(std::move(current));
            current.clear();
            inArg = false;
            continue;
        }
        inArg = true;
        if (c == '"') {
            quoted = true;
        } else if (c == '%') {
            // Field codes (%f, %u, ...) stand for nothing at autostart; "%%" is a percent sign.
            if (++i == line.size()) return std::nullopt;
            if (line[i] == '%') current += '%';
        } else {
            current += c;
        }
    }
    if (quoted) return std::nullopt;
    if (inArg) args.push_back(std::move(current));
    return args;
}

}  // namespace kl

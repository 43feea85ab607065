#include "foundation/Utilities.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace kl {

std::string stringWithUUIDBytes(const uint8_t* b) {
    if (!b) return {};
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3],
                  b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::string stringWithCFUUIDBytes(const UUIDBytes& bytes) { return stringWithUUIDBytes(bytes.data()); }

std::string stringWithNewUUID() {
    std::random_device rd;
    UUIDBytes b;
    for (size_t i = 0; i < b.size(); i += 4) {
        uint32_t r = rd();
        for (size_t j = 0; j < 4; ++j) b[i + j] = uint8_t(r >> (8 * j));
    }
    b[6] = uint8_t((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = uint8_t((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return stringWithCFUUIDBytes(b);
}

UUIDBytes CFUUIDCreateBytesFromString(std::string_view text) {
    UUIDBytes zero{};
    UUIDBytes out{};
    if (text.size() != 36) return zero;
    size_t o = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return zero;
            ++i;
            continue;
        }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = hex(text[i]), lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0) return zero;
        out[o++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::string stringByAppendingComponentsSeparatedByString(const Array& components, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < components.size(); ++i) {
        const std::string* s = components[i].asString();
        if (!s || s->empty()) continue;
        out += *s;
        if (i + 1 < components.size()) out += separator;
    }
    return out;
}

std::string KLTBacktrace::currentBacktraceString() {
    void* frames[256];
    int n = ::backtrace(frames, 256);
    char** symbols = ::backtrace_symbols(frames, n);
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += symbols ? symbols[i] : "?";
        out += '\n';
    }
    std::free(symbols);
    return out;
}

std::string KLTBacktrace::delimitedBacktraceString() {
    return "\n" + std::string(60, '+') + "\n" + currentBacktraceString() + std::string(60, '-') + "\n";
}

}  // namespace kl

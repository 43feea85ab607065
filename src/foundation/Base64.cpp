#include "foundation/Base64.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr size_t kBytesPerLine = 48;  // 64 characters

int symbolValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

}  // namespace

extern "C" char* NewBase64Encode(const void* buffer, size_t length, bool separateLines, size_t* outputLength) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    constexpr size_t kMax = std::numeric_limits<size_t>::max();
    if (length > 0 && !in) return nullptr;
    size_t groups = length / 3 + (length % 3 ? 1 : 0);
    if (groups > (kMax - 1) / 6) return nullptr;  // 4 per group + 2 per 16 groups + NUL must fit
    size_t size = groups * 4 + 1;
    if (separateLines) size += (groups / 16) * 2;
    char* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;

    size_t o = 0;
    size_t i = 0;
    while (i < length) {
        size_t lineEnd = separateLines ? std::min(length, i + kBytesPerLine) : length;
        for (; i + 3 <= lineEnd; i += 3) {
            uint32_t n = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
            out[o++] = kAlphabet[(n >> 18) & 63];
            out[o++] = kAlphabet[(n >> 12) & 63];
            out[o++] = kAlphabet[(n >> 6) & 63];
            out[o++] = kAlphabet[n & 63];
        }
        if (i < lineEnd) {  // the last one or two bytes of the input
            uint32_t n = uint32_t(in[i]) << 16;
            bool two = lineEnd - i == 2;
            if (two) n |= uint32_t(in[i + 1]) << 8;
            out[o++] = kAlphabet[(n >> 18) & 63];
            out[o++] = kAlphabet[(n >> 12) & 63];
            out[o++] = two ? kAlphabet[(n >> 6) & 63] : '=';
            out[o++] = '=';
            i = lineEnd;
        }
        if (separateLines && i < length) {
            out[o++] = '\r';
            out[o++] = '\n';
        }
    }
    out[o] = '\0';
    if (outputLength) *outputLength = o;
    return out;
}

extern "C" void* NewBase64Decode(const char* inputBuffer, long inputLength, size_t* outputLength) {
    size_t length = 0;
    if (inputBuffer) length = inputLength < 0 ? std::strlen(inputBuffer) : size_t(inputLength);
    size_t groups = length / 4 + (length % 4 ? 1 : 0);
    // At least one byte so that an empty result is still a valid allocation.
    auto* out = static_cast<uint8_t*>(std::malloc(groups * 3 + 1));
    if (!out) return nullptr;

    size_t o = 0;
    int have = 0;
    uint32_t acc = 0;
    for (size_t i = 0; i < length; ++i) {
        int v = symbolValue(static_cast<unsigned char>(inputBuffer[i]));
        if (v < 0) continue;
        acc = (acc << 6) | uint32_t(v);
        if (++have == 4) {
            out[o++] = uint8_t(acc >> 16);
            out[o++] = uint8_t(acc >> 8);
            out[o++] = uint8_t(acc);
            have = 0;
            acc = 0;
        }
    }
    if (have == 3) {
        out[o++] = uint8_t(acc >> 10);
        out[o++] = uint8_t(acc >> 2);
    } else if (have == 2) {
        out[o++] = uint8_t(acc >> 4);
    }
    if (outputLength) *outputLength = o;
    return out;
}

namespace kl {

Bytes dataFromURLEncodedBase64String(std::string_view text) {
    for (unsigned char c : text)
        if (c > 0x7f) return {};
    size_t n = 0;
    void* raw = NewBase64Decode(text.data(), long(text.size()), &n);
    if (!raw) return {};
    auto* p = static_cast<uint8_t*>(raw);
    Bytes out(p, p + n);
    std::free(raw);
    return out;
}

std::string urlEncodedBase64EncodedString(const Bytes& data) {
    size_t n = 0;
    char* raw = NewBase64Encode(data.data(), data.size(), true, &n);
    if (!raw) return {};
    std::string out(raw, n);
    std::free(raw);
    return out;
}

}  // namespace kl

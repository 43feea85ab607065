#include "screen/apps/KLTDataMD5.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

namespace kl {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

MD5Digest dataWithMD5OfData(std::span<const uint8_t> data) {
    MD5Digest digest{};
    CryptoPP::Weak::MD5 md5;
    md5.CalculateDigest(digest.data(), data.data(), data.size());
    return digest;
}

std::string hexString(std::span<const uint8_t> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (uint8_t b : data) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0xF]);
    }
    return text;
}

Bytes dataWithHexString(std::string_view text) {
    Bytes bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
        bytes[i] = (high < 0 || low < 0) ? 0 : uint8_t(high << 4 | low);
    }
    return bytes;
}

std::optional<std::string> stringWithData(std::span<const uint8_t> data) {
    if (data.size() < 2) return std::nullopt;
    return std::string(data.begin(), data.end());
}

}  // namespace kl

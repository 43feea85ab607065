#include "tunnel/protocol/TunnexBase32.h"

#include <cryptopp/base32.h>
#include <cryptopp/filters.h>

#include <algorithm>
#include <array>

namespace kl {

namespace {

// The token alphabet, fixed here rather than left to the library's default so the format cannot
// drift with a library upgrade.
const CryptoPP::byte kAlphabet[] = "ABCDEFGHIJKMNPQRSTUVWXYZ23456789";

// Each of the 256 byte values mapped to its 5-bit value, or -1 for characters to skip.
const int* decodingLookup() {
    static const auto table = [] {
        std::array<int, 256> t;
        CryptoPP::BaseN_Decoder::InitializeDecodingLookupArray(t.data(), kAlphabet, 32, true);
        return t;
    }();
    return table.data();
}

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length;
        uint32_t codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2, codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kMinimum[length] || codePoint > 0x10FFFF) return false;  // overlong or too big
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;            // surrogates
        i += length;
    }
    return true;
}

}  // namespace

std::string stringToBase32WithData(const Bytes& data) {
    std::string text;
    CryptoPP::Base32Encoder encoder(new CryptoPP::StringSink(text), true, 0, "", "");
    // The library adds the 5-bit width itself; only the alphabet and the empty terminator are ours.
    encoder.IsolatedInitialize(CryptoPP::MakeParameters(CryptoPP::Name::EncodingLookupArray(),
                                                        static_cast<const CryptoPP::byte*>(kAlphabet))(
        CryptoPP::Name::GroupSize(), 0)(CryptoPP::Name::Terminator(), CryptoPP::ConstByteArrayParameter("")));
    encoder.Put(data.data(), data.size());
    encoder.MessageEnd();
    return text;
}

Bytes fromBase32(std::string_view text) {
    std::string decoded;
    CryptoPP::Base32Decoder decoder(new CryptoPP::StringSink(decoded));
    decoder.IsolatedInitialize(CryptoPP::MakeParameters(CryptoPP::Name::DecodingLookupArray(), decodingLookup()));
    decoder.Put(reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
    decoder.MessageEnd();
    return Bytes(decoded.begin(), decoded.end());
}

std::optional<std::string> fromBase32AsString(std::string_view text) {
    Bytes bytes = fromBase32(text);
    auto end = std::find(bytes.begin(), bytes.end(), uint8_t(0));
    std::string result(bytes.begin(), end);
    if (!isValidUtf8(result)) return std::nullopt;
    return result;
}

}  // namespace kl

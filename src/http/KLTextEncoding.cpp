#include "http/KLTextEncoding.h"

#include <errno.h>
#include <iconv.h>

#include "http/KLURLRequest.h"

namespace kl {
namespace {

bool isUTF8(std::string_view name) { return equalsIgnoringCase(name, "utf-8") || equalsIgnoringCase(name, "utf8"); }

bool validUTF8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) extra = 1, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) extra = 2, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) extra = 3, cp = c & 0x07;
        else return false;
        if (i + extra >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> convert(std::string_view input, const std::string& to, const std::string& from) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == iconv_t(-1)) return std::nullopt;
    std::string out;
    out.resize(input.size() * 4 + 16);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    bool ok = true;
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != size_t(-1)) continue;
        if (errno == E2BIG) {
            size_t used = size_t(outPtr - out.data());
            out.resize(out.size() * 2);
            outPtr = out.data() + used;
            outLeft = out.size() - used;
            continue;
        }
        ok = false;  // EILSEQ or EINVAL: a byte sequence that has no meaning in the source set
        break;
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(size_t(outPtr - out.data()));
    return out;
}

}  // namespace

bool isValidUTF8(std::string_view text) { return validUTF8(text); }

bool isKnownTextEncoding(std::string_view charsetName) {
    if (charsetName.empty()) return false;
    if (isUTF8(charsetName)) return true;
    iconv_t cd = iconv_open("UTF-8", std::string(charsetName).c_str());
    if (cd == iconv_t(-1)) return false;
    iconv_close(cd);
    return true;
}

std::optional<std::string> decodeText(std::string_view bytes, std::string_view charsetName) {
    if (isUTF8(charsetName)) {
        if (!validUTF8(bytes)) return std::nullopt;
        return std::string(bytes);
    }
    return convert(bytes, "UTF-8", std::string(charsetName));
}

std::optional<std::string> encodeText(std::string_view utf8, std::string_view charsetName) {
    if (!validUTF8(utf8)) return std::nullopt;
    if (isUTF8(charsetName)) return std::string(utf8);
    return convert(utf8, std::string(charsetName), "UTF-8");
}

}  // namespace kl

// Text encodings named by their IANA character-set names ("utf-8", "iso-8859-1"), converted with
// iconv. Strings inside the system are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kl {

inline constexpr const char* kKLUTF8StringEncoding = "utf-8";
inline constexpr const char* kKLISOLatin1StringEncoding = "iso-8859-1";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text);
// True when the converter knows the character set.
bool isKnownTextEncoding(std::string_view charsetName);
// bytes in charsetName as UTF-8; nothing when they do not decode (or the set is unknown).
std::optional<std::string> decodeText(std::string_view bytes, std::string_view charsetName);
// UTF-8 text in charsetName; nothing when some character has no form there.
std::optional<std::string> encodeText(std::string_view utf8, std::string_view charsetName);

}  // namespace kl

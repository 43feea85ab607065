// Digests and hexadecimal text of byte strings: icon hashes, thumbnail hashes and cache keys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl {

using MD5Digest = std::array<uint8_t, 16>;

MD5Digest dataWithMD5OfData(std::span<const uint8_t> data);
// Lower-case, two digits per byte.
std::string hexString(std::span<const uint8_t> data);
// length / 2 bytes, high digit first; an odd last character is ignored and a pair holding a
// character other than 0-9, a-f, A-F gives a 0 byte.
Bytes dataWithHexString(std::string_view text);
// The bytes as ASCII text; none when there are fewer than 2.
std::optional<std::string> stringWithData(std::span<const uint8_t> data);

}  // namespace kl

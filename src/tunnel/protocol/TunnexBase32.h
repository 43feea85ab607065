// Base-32 coding of the rendezvous address tokens. The alphabet is
// "ABCDEFGHIJKMNPQRSTUVWXYZ23456789" (no L, no O), bits are taken most significant first, a short
// last group is filled with zero bits and no padding is written. Decoding accepts either case,
// skips every character outside the alphabet and drops the bits of an incomplete last byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl {

std::string stringToBase32WithData(const Bytes& data);
Bytes fromBase32(std::string_view text);
// The decoded bytes up to the first zero byte, as text; nothing when they are not valid UTF-8.
std::optional<std::string> fromBase32AsString(std::string_view text);

}  // namespace kl

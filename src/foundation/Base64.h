// URL-safe Base64 (alphabet "A-Za-z0-9-_", padding "="). Results are malloc'ed; the caller frees
// them with free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Value.h"

extern "C" {
// The text of length bytes, NUL-terminated; with separateLines, "\r\n" after every 64 characters
// that are followed by more. *outputLength (when given) receives the text length without the NUL.
// NULL when the allocation fails or the size would overflow.
char* NewBase64Encode(const void* buffer, size_t length, bool separateLines, size_t* outputLength);
// The bytes of a text (inputLength -1: up to its NUL); characters outside the alphabet are
// skipped. *outputLength (when given) receives the byte count. NULL when the allocation fails.
void* NewBase64Decode(const char* inputBuffer, long inputLength, size_t* outputLength);
}

namespace kl {
// dataFromURLEncodedBase64String: empty when the text is not pure ASCII.
Bytes dataFromURLEncodedBase64String(std::string_view text);
// urlEncodedBase64EncodedString: encoded with line separation.
std::string urlEncodedBase64EncodedString(const Bytes& data);
}  // namespace kl

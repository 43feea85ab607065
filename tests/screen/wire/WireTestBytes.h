// Golden bytes written as hex text ("20 00 00") in the wire tests.
#pragma once

#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl::test {

inline Bytes hexBytes(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) continue;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(uint8_t(high * 16 + digit));
            high = -1;
        }
    }
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace kl::test

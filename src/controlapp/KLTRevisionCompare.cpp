#include "controlapp/KLTRevisionCompare.h"

#include <cctype>

namespace kl {

namespace {

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

int compareRevisions(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the two digit runs by value without converting (they may be long): skip
            // leading zeros, then the longer run is larger, then the first differing digit decides.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            size_t ai = i, bj = j;
            while (ai < a.size() && isDigit(a[ai])) ++ai;
            while (bj < b.size() && isDigit(b[bj])) ++bj;
            if (ai - i != bj - j) return ai - i < bj - j ? -1 : 1;
            for (; i < ai; ++i, ++j)
                if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace kl

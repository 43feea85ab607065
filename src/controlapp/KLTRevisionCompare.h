// Revisions are compared as texts whose runs of digits compare by value ("99" < "100").
#pragma once

#include <string_view>

namespace kl {

// Negative, zero or positive as a is older than, equal to or newer than b.
int compareRevisions(std::string_view a, std::string_view b);

}  // namespace kl

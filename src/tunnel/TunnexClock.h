// The wall clock of the tunnel records, injectable so that tests can place their age boundaries.
#pragma once

#include <functional>

#include "platform/Value.h"

namespace kl {

using TunnexClock = std::function<Date()>;

inline TunnexClock tunnexSystemClock() {
    return [] { return Date::now(); };
}

}  // namespace kl

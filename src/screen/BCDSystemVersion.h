// The running system's version packed for logs: major in bits 16-23, minor in bits 8-15, bug-fix
// in bits 0-7. Here it is the Debian release ("12.5" gives 0x0C0500); 10.0.0 when it is unknown.
#pragma once

#include <cstdint>
#include <string>

namespace kl {

uint32_t BCDSystemVersionFunction();
// Packs a dotted version text ("12.5", "10.7.3"); 0x0A0000 for text that holds no number.
uint32_t packSystemVersion(const std::string& dotted);

}  // namespace kl
